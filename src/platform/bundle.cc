#include "platform/bundle.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>

#include "platform/strings_file.h"
#include "platform/system_log.h"

namespace installer::platform {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxStringsBytes = 8u << 20;

const SystemLog& bundleLog() {
  static const SystemLog log("installer", "bundle");
  return log;
}

std::string lowerCased(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// A comparable form of a language tag or .lproj name: lower case, '-' as
// separator, old English folder names mapped to their codes.
std::string normalizedTag(const std::string& name) {
  static const std::pair<const char*, const char*> legacy[] = {
      {"english", "en"}, {"french", "fr"},   {"german", "de"},    {"japanese", "ja"},
      {"spanish", "es"}, {"italian", "it"},  {"dutch", "nl"},     {"korean", "ko"},
      {"swedish", "sv"}, {"danish", "da"},   {"finnish", "fi"},   {"norwegian", "no"},
      {"russian", "ru"}, {"portuguese", "pt"}, {"polish", "pl"}, {"chinese", "zh"}};
  std::string tag = lowerCased(name);
  std::replace(tag.begin(), tag.end(), '_', '-');
  for (const auto& [old, code] : legacy) {
    if (tag == old) return code;
  }
  return tag;
}

std::vector<std::string> splitTag(const std::string& tag) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= tag.size()) {
    std::size_t dash = tag.find('-', start);
    if (dash == std::string::npos) dash = tag.size();
    parts.push_back(tag.substr(start, dash - start));
    start = dash + 1;
  }
  return parts;
}

std::string joinTag(const std::vector<std::string>& parts, std::size_t count) {
  std::string tag;
  for (std::size_t i = 0; i < count && i < parts.size(); ++i) {
    if (i) tag += '-';
    tag += parts[i];
  }
  return tag;
}

// The tags a user language may match, best first: the tag itself, then with
// trailing subtags removed; a tag with a script also tries language-region
// ("zh-Hans-CN": zh-hans-cn, zh-hans, zh-cn, zh).
std::vector<std::string> candidateTags(const std::string& userLanguage) {
  std::vector<std::string> parts = splitTag(normalizedTag(userLanguage));
  std::vector<std::string> candidates;
  for (std::size_t n = parts.size(); n >= 1; --n) {
    candidates.push_back(joinTag(parts, n));
    if (n == 2 && parts.size() == 3 && parts[1].size() == 4) {
      candidates.push_back(parts[0] + "-" + parts[2]);
    }
  }
  return candidates;
}

std::string readFileCapped(const fs::path& file, bool* ok) {
  *ok = false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::string();
  std::string data;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    data.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (data.size() > kMaxStringsBytes) return std::string();
  }
  *ok = !in.bad();
  return data;
}

using Table = std::map<std::string, std::string>;

// Reads one .strings table; problems are logged and the readable entries
// kept. A missing file is simply an empty table.
Table loadStringsTable(const fs::path& file) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return Table();
  bool ok = false;
  std::string bytes = readFileCapped(file, &ok);
  if (!ok) {
    bundleLog().error("skipped unreadable strings table " + file.string());
    return Table();
  }
  StringsParseResult parsed = parseStrings(bytes);
  for (const std::string& problem : parsed.problems) {
    bundleLog().error("skipped in " + file.string() + ": " + problem);
  }
  return std::move(parsed.entries);
}

std::string stringFor(const PlistDict& dict, const char* key) {
  auto it = dict.find(key);
  if (it == dict.end() || !it->second.isString()) return std::string();
  return *it->second.string();
}

}  // namespace

struct Bundle::Tables {
  // By localization name (the .lproj folder name without extension).
  std::map<std::string, Table> localizable;
  std::map<std::string, Table> infoPlist;
};

std::optional<Bundle> Bundle::open(const fs::path& bundlePath) {
  std::error_code ec;
  if (!fs::is_directory(bundlePath, ec)) return std::nullopt;
  Bundle bundle;
  bundle.path_ = bundlePath;

  fs::path infoFile = bundle.contentsPath() / "Info.plist";
  std::string error;
  if (auto info = readPlistDict(infoFile, &error)) {
    bundle.info_ = std::move(*info);
  } else {
    bundleLog().error("using an empty information dictionary: " + error);
  }

  auto tables = std::make_shared<Tables>();
  fs::directory_iterator it(bundle.resourcesPath(), ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path& entry = it->path();
    if (entry.extension() != ".lproj") continue;
    std::error_code dirError;
    if (!fs::is_directory(entry, dirError)) continue;
    std::string name = entry.stem().string();
    if (name.empty() || name == "Base") continue;
    bundle.localizations_.push_back(name);
    tables->localizable[name] = loadStringsTable(entry / "Localizable.strings");
    tables->infoPlist[name] = loadStringsTable(entry / "InfoPlist.strings");
  }
  std::sort(bundle.localizations_.begin(), bundle.localizations_.end());
  bundle.tables_ = std::move(tables);
  return bundle;
}

const Bundle& Bundle::main() {
  static const Bundle* mainBundle = [] {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
      fs::path macOS = exe.parent_path();
      fs::path contents = macOS.parent_path();
      fs::path app = contents.parent_path();
      if (macOS.filename() == "MacOS" && contents.filename() == "Contents" &&
          app.extension() == ".app") {
        if (auto bundle = Bundle::open(app)) return new Bundle(std::move(*bundle));
      }
    }
    Bundle* placeholder = new Bundle();
    placeholder->tables_ = std::make_shared<Tables>();
    return placeholder;
  }();
  return *mainBundle;
}

std::optional<fs::path> Bundle::executablePath() const {
  std::string name = stringFor(info_, "CFBundleExecutable");
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    return std::nullopt;
  }
  return contentsPath() / "MacOS" / name;
}

std::optional<PlistValue> Bundle::lookup(const std::string& key) const {
  if (tables_) {
    for (const std::string& localization : preferredLocalizations()) {
      auto table = tables_->infoPlist.find(localization);
      if (table == tables_->infoPlist.end()) continue;
      auto entry = table->second.find(key);
      if (entry != table->second.end()) return PlistValue(entry->second);
    }
  }
  auto it = info_.find(key);
  if (it == info_.end()) return std::nullopt;
  return it->second;
}

std::string Bundle::identifier() const { return stringFor(info_, "CFBundleIdentifier"); }
std::string Bundle::name() const { return stringFor(info_, "CFBundleName"); }
std::string Bundle::shortVersion() const {
  return stringFor(info_, "CFBundleShortVersionString");
}

std::vector<std::string> Bundle::preferredLocalizations(
    const std::vector<std::string>& userLanguages) const {
  std::vector<std::string> result;
  if (localizations_.empty()) return result;
  auto add = [&result](const std::string& name) {
    if (std::find(result.begin(), result.end(), name) == result.end()) result.push_back(name);
  };
  for (const std::string& language : userLanguages) {
    bool matched = false;
    for (const std::string& candidate : candidateTags(language)) {
      for (const std::string& shipped : localizations_) {
        if (normalizedTag(shipped) == candidate) {
          add(shipped);
          matched = true;
          break;
        }
      }
      if (matched) break;
    }
    // Another variant of the same language beats the development region
    // ("pt-PT" takes "pt-BR").
    const std::string base = splitTag(normalizedTag(language)).front();
    for (const std::string& shipped : localizations_) {
      if (matched || base.empty()) break;
      if (splitTag(normalizedTag(shipped)).front() == base) {
        add(shipped);
        matched = true;
      }
    }
  }
  if (result.empty()) {
    std::string development = stringFor(info_, "CFBundleDevelopmentRegion");
    if (development.empty()) development = "en";
    for (const std::string& shipped : localizations_) {
      if (normalizedTag(shipped) == normalizedTag(development)) add(shipped);
    }
    if (result.empty()) add(localizations_.front());
  }
  return result;
}

std::vector<std::string> Bundle::preferredLocalizations() const {
  return preferredLocalizations(userPreferredLanguages());
}

std::string Bundle::localizedString(const std::string& key) const {
  if (!tables_) return key;
  for (const std::string& localization : preferredLocalizations()) {
    auto table = tables_->localizable.find(localization);
    if (table == tables_->localizable.end()) continue;
    auto entry = table->second.find(key);
    if (entry != table->second.end()) return entry->second;
  }
  return key;
}

std::vector<std::string> userPreferredLanguages() {
  std::vector<std::string> raw;
  auto addList = [&raw](const char* name, bool colonSeparated) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return;
    std::string text(value);
    if (!colonSeparated) {
      raw.push_back(text);
      return;
    }
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t colon = text.find(':', start);
      if (colon == std::string::npos) colon = text.size();
      if (colon > start) raw.push_back(text.substr(start, colon - start));
      start = colon + 1;
    }
  };
  addList("LANGUAGE", true);
  addList("LC_ALL", false);
  addList("LC_MESSAGES", false);
  addList("LANG", false);

  std::vector<std::string> languages;
  for (std::string locale : raw) {
    // "pt_BR.UTF-8@euro" -> "pt_BR"
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") continue;
    std::vector<std::string> parts = splitTag([&] {
      std::string t = locale;
      std::replace(t.begin(), t.end(), '_', '-');
      return t;
    }());
    bool valid = !parts.empty() && !parts[0].empty();
    for (const std::string& part : parts) {
      if (part.empty() || part.size() > 8) valid = false;
      for (char c : part) {
        if (!std::isalnum(static_cast<unsigned char>(c))) valid = false;
      }
    }
    if (!valid) continue;
    parts[0] = lowerCased(parts[0]);
    // Chinese locales name a region; bundles name a script.
    if (parts[0] == "zh" && parts.size() == 2 && parts[1].size() == 2) {
      std::string region = parts[1];
      std::transform(region.begin(), region.end(), region.begin(),
                     [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
      bool traditional = region == "TW" || region == "HK" || region == "MO";
      parts = {"zh", traditional ? "Hant" : "Hans", region};
    }
    std::string tag = joinTag(parts, parts.size());
    if (std::find(languages.begin(), languages.end(), tag) == languages.end()) {
      languages.push_back(tag);
    }
  }
  return languages;
}

}  // namespace installer::platform
