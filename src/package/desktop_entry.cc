#include "package/desktop_entry.h"

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "package/no_follow.h"
#include "package/tool_runner.h"
#include "platform/plist.h"
#include "platform/strings_file.h"

namespace installer {

namespace fs = std::filesystem;

namespace {

// Debian 12's desktop-file-validate (0.26) refuses "1.5" as an unknown
// version; the entry uses no key newer than 1.4, so it declares that.
constexpr const char* kEntryVersion = "1.4";

// The sizes the hicolor theme lists for applications.
constexpr int kThemeSizes[] = {16, 22, 24, 32, 36, 48, 64, 72, 96, 128, 192, 256, 512};
constexpr std::size_t kMaxIconFileBytes = 32u << 20;
constexpr std::size_t kMaxStringsBytes = 1u << 20;
constexpr std::size_t kMaxInfoPlistBytes = 4u << 20;

bool isThemeSize(int n) {
  return std::find(std::begin(kThemeSizes), std::end(kThemeSizes), n) != std::end(kThemeSizes);
}

// Reverse-DNS names only: the identifier becomes a file name and the Icon value.
bool usableIdentifier(const std::string& id) {
  if (id.empty() || id.size() > 200 || id.front() == '.' || id.front() == '-') return false;
  if (id.find("..") != std::string::npos) return false;
  return std::all_of(id.begin(), id.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '_';
  });
}

// Valid UTF-8 without control characters, blanks trimmed.
std::string cleanText(const std::string& raw) {
  gchar* valid = g_utf8_make_valid(raw.data(), static_cast<gssize>(raw.size()));
  std::string text(valid);
  g_free(valid);
  for (char& c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = ' ';
  }
  std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// The string-value escaping of the entry format, for text without control
// characters.
std::string escapeValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

bool hasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// One Exec argument: '%' doubled, quoted when it holds a reserved character
// (with '"', '`', '$' and '\' escaped inside the quotes), then escaped as a
// string value.
std::string execArgument(const std::string& arg) {
  static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string percent;
  for (char c : arg) {
    percent += c;
    if (c == '%') percent += '%';
  }
  std::string quoted = percent;
  if (percent.find_first_of(reserved) != std::string::npos) {
    quoted = "\"";
    for (char c : percent) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += '"';
  }
  return escapeValue(quoted);
}

// "zh-Hans" -> "zh_CN", "pt-BR" -> "pt_BR", "sr-Latn" -> "sr@latin",
// "English" -> "en"; absent for names that make no locale ("Base").
std::optional<std::string> localeForLocalization(const std::string& lproj) {
  static const std::map<std::string, std::string> legacy = {
      {"english", "en"}, {"french", "fr"},   {"german", "de"},      {"japanese", "ja"},
      {"spanish", "es"}, {"italian", "it"},  {"dutch", "nl"},       {"korean", "ko"},
      {"swedish", "sv"}, {"danish", "da"},   {"finnish", "fi"},     {"norwegian", "nb"},
      {"russian", "ru"}, {"portuguese", "pt"}, {"polish", "pl"}};
  std::string lower = lproj;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (auto it = legacy.find(lower); it != legacy.end()) return it->second;

  std::vector<std::string> parts;
  std::string part;
  for (char c : lower + "-") {
    if (c == '-' || c == '_') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  auto letters = [](const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c >= 'a' && c <= 'z'; });
  };
  auto digits = [](const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
  };
  const std::string& language = parts[0];
  if (language.size() < 2 || language.size() > 3 || !letters(language)) return std::nullopt;
  std::string script, region;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string& p = parts[i];
    if (p.size() == 4 && letters(p) && script.empty() && region.empty()) {
      script = p;
    } else if (((p.size() == 2 && letters(p)) || (p.size() == 3 && digits(p))) && region.empty()) {
      region = p;
    } else {
      return std::nullopt;
    }
  }
  for (char& c : region) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string modifier;
  if (language == "zh" && region.empty()) {
    if (script == "hans") region = "CN";
    if (script == "hant") region = "TW";
  } else if (script == "latn") {
    modifier = "latin";
  } else if (script == "cyrl") {
    modifier = "cyrillic";
  }
  std::string locale = language;
  if (!region.empty()) locale += "_" + region;
  if (!modifier.empty()) locale += "@" + modifier;
  return locale;
}

// A strings table as shipped: UTF-8 or UTF-16 text, or a compiled
// (binary) property list.
std::map<std::string, std::string> readStringsTable(int bundleFd, const std::string& file) {
  std::map<std::string, std::string> table;
  auto bytes = readBeneath(bundleFd, file, kMaxStringsBytes);
  if (!bytes) return table;
  if (bytes->rfind("bplist", 0) == 0 || bytes->rfind("<?xml", 0) == 0) {
    if (auto dict = platform::parsePlistDict(*bytes)) {
      for (const auto& [key, value] : *dict) {
        if (value.isString()) table.emplace(key, *value.string());
      }
    }
    return table;
  }
  std::string text = *bytes;
  bool le = text.rfind("\xff\xfe", 0) == 0;
  bool be = text.rfind("\xfe\xff", 0) == 0;
  if (le || be) {
    std::vector<gunichar2> units;
    for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
      auto a = static_cast<unsigned char>(text[i]);
      auto b = static_cast<unsigned char>(text[i + 1]);
      units.push_back(static_cast<gunichar2>(le ? (b << 8 | a) : (a << 8 | b)));
    }
    gchar* utf8 = g_utf16_to_utf8(units.data(), static_cast<glong>(units.size()), nullptr, nullptr, nullptr);
    if (utf8 == nullptr) return table;
    text = utf8;
    g_free(utf8);
  }
  return platform::parseStrings(text).entries;
}

std::string nameIn(const std::map<std::string, std::string>& table) {
  for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
    if (auto it = table.find(key); it != table.end()) {
      std::string name = cleanText(it->second);
      if (!name.empty()) return name;
    }
  }
  return std::string();
}

std::string infoString(const platform::PlistDict& info, const char* key) {
  auto it = info.find(key);
  return it != info.end() && it->second.isString() ? *it->second.string() : std::string();
}

// The side of a square PNG from its header; absent for anything else.
std::optional<int> squarePngSize(const std::string& bytes) {
  static const char signature[] = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR";
  if (bytes.size() < 24 || bytes.compare(0, 16, std::string(signature, 16)) != 0) return std::nullopt;
  auto be32 = [&bytes](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  std::uint32_t width = be32(16), height = be32(20);
  if (width != height || width == 0 || width > 4096) return std::nullopt;
  return static_cast<int>(width);
}

// The PNG members of an .icns file.
std::vector<std::string> pngsInIcns(const std::string& bytes) {
  std::vector<std::string> pngs;
  if (bytes.size() < 8 || bytes.compare(0, 4, "icns") != 0) return pngs;
  std::size_t at = 8;
  while (at + 8 <= bytes.size()) {
    std::uint32_t length = 0;
    for (std::size_t i = 4; i < 8; ++i) length = length << 8 | static_cast<unsigned char>(bytes[at + i]);
    if (length < 8 || length > bytes.size() - at) break;
    std::string member = bytes.substr(at + 8, length - 8);
    if (member.rfind("\x89PNG", 0) == 0) pngs.push_back(std::move(member));
    at += length;
  }
  return pngs;
}

// The bundle's icon as PNG bytes by size: from CFBundleIconFile (an .icns
// or a PNG, with its @2x variant), else AppIcon.png and AppIcon@2x.png.
std::map<int, std::string> bundleIcons(int bundleFd, const platform::PlistDict& info) {
  std::string iconFile = infoString(info, "CFBundleIconFile");
  if (iconFile.find('/') != std::string::npos || hasControlCharacter(iconFile) || iconFile == "." ||
      iconFile == "..") {
    iconFile.clear();
  }
  std::vector<std::string> names;
  std::string stem = iconFile.empty() ? "AppIcon" : iconFile;
  std::string extension = fs::path(stem).extension().string();
  if (extension == ".icns" || extension == ".png") {
    stem = stem.substr(0, stem.size() - extension.size());
    names.push_back(stem + extension);
  } else {
    names.push_back(stem + ".icns");
    names.push_back(stem + ".png");
  }
  names.push_back(stem + "@2x.png");

  std::map<int, std::string> icons;
  auto add = [&icons](std::string png) {
    if (auto size = squarePngSize(png)) icons.emplace(*size, std::move(png));
  };
  for (const std::string& name : names) {
    auto bytes = readBeneath(bundleFd, "Contents/Resources/" + name, kMaxIconFileBytes);
    if (!bytes) continue;
    if (bytes->rfind("icns", 0) == 0) {
      for (std::string& png : pngsInIcns(*bytes)) add(std::move(png));
    } else {
      add(std::move(*bytes));
    }
  }
  return icons;
}

// `png` scaled down to `size`; empty when it cannot be decoded.
std::string scaledPng(const std::string& png, int size) {
  std::string out;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
  if (loader == nullptr) return out;
  bool loaded = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(png.data()), png.size(),
                                        nullptr) &&
                gdk_pixbuf_loader_close(loader, nullptr);
  GdkPixbuf* source = loaded ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
  GdkPixbuf* scaled = source ? gdk_pixbuf_scale_simple(source, size, size, GDK_INTERP_HYPER) : nullptr;
  gchar* buffer = nullptr;
  gsize length = 0;
  if (scaled != nullptr && gdk_pixbuf_save_to_buffer(scaled, &buffer, &length, "png", nullptr, nullptr)) {
    out.assign(buffer, length);
    g_free(buffer);
  }
  if (scaled != nullptr) g_object_unref(scaled);
  if (!loaded) gdk_pixbuf_loader_close(loader, nullptr);
  g_object_unref(loader);
  return out;
}

// The icons at the theme's sizes: those the bundle has, and its largest
// scaled to the biggest theme size below it when the bundle lacks that one.
std::map<int, std::string> themeIcons(std::map<int, std::string> icons, bool scale) {
  std::map<int, std::string> result;
  for (auto& [size, png] : icons) {
    if (isThemeSize(size)) result.emplace(size, png);
  }
  if (scale && !icons.empty()) {
    const auto& [largest, png] = *icons.rbegin();
    int target = 0;
    for (int size : kThemeSizes) {
      if (size <= largest) target = size;
    }
    if (target != 0 && result.count(target) == 0) {
      std::string scaled = scaledPng(png, target);
      if (squarePngSize(scaled) == target) result.emplace(target, std::move(scaled));
    }
  }
  return result;
}

// Writes `bytes` to `file` mode 0644 through a temporary sibling, so that a
// reader never sees half a file.
void writeFileAtomically(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  fs::path temporary = file;
  temporary += ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      throw fs::filesystem_error("cannot write", temporary, std::make_error_code(std::errc::io_error));
    }
  }
  fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                 fs::perms::others_read);
  fs::rename(temporary, file);
}

}  // namespace

const std::vector<int>& desktopIconSizes() {
  static const std::vector<int> sizes(std::begin(kThemeSizes), std::end(kThemeSizes));
  return sizes;
}

std::optional<DesktopEntryContent> composeDesktopEntry(int bundleFd, const fs::path& installedBundle,
                                                       bool scaleIcons, const std::string& extraLines) {
  auto infoBytes = readBeneath(bundleFd, "Contents/Info.plist", kMaxInfoPlistBytes);
  if (!infoBytes) return std::nullopt;
  auto parsed = platform::parsePlistDict(*infoBytes);
  if (!parsed) return std::nullopt;
  const platform::PlistDict& info = *parsed;
  const std::string id = infoString(info, "CFBundleIdentifier");
  const std::string executableName = infoString(info, "CFBundleExecutable");
  if (!usableIdentifier(id) || executableName.empty() || executableName.find('/') != std::string::npos ||
      executableName == "." || executableName == "..") {
    return std::nullopt;
  }
  const std::string executable = (installedBundle / "Contents/MacOS" / executableName).lexically_normal().string();
  if (executable.front() != '/' || hasControlCharacter(executable) ||
      !g_utf8_validate(executable.data(), static_cast<gssize>(executable.size()), nullptr)) {
    return std::nullopt;
  }

  std::string name;
  for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
    name = cleanText(infoString(info, key));
    if (!name.empty()) break;
  }
  if (name.empty()) name = cleanText(installedBundle.stem().string());
  if (name.empty()) name = id;

  std::map<std::string, std::string> localizedNames;
  for (const std::string& folder : listBeneath(bundleFd, "Contents/Resources")) {
    const std::string suffix = ".lproj";
    if (folder.size() <= suffix.size() || folder.compare(folder.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    auto locale = localeForLocalization(folder.substr(0, folder.size() - suffix.size()));
    if (!locale) continue;
    std::string localized = nameIn(readStringsTable(bundleFd, "Contents/Resources/" + folder + "/InfoPlist.strings"));
    if (!localized.empty()) localizedNames.emplace(*locale, localized);
  }

  std::string wmClass = cleanText(executableName);
  std::ostringstream entry;
  entry << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Version=" << kEntryVersion << "\n"
        << "Name=" << escapeValue(name) << "\n";
  for (const auto& [locale, localized] : localizedNames) {
    entry << "Name[" << locale << "]=" << escapeValue(localized) << "\n";
  }
  entry << "Exec=" << execArgument(executable) << "\n"
        << "TryExec=" << escapeValue(executable) << "\n";

  DesktopEntryContent content;
  content.identifier = id;
  content.icons = themeIcons(bundleIcons(bundleFd, info), scaleIcons);
  if (!content.icons.empty()) entry << "Icon=" << id << "\n";
  if (!wmClass.empty()) entry << "StartupWMClass=" << escapeValue(wmClass) << "\n";
  entry << "Terminal=false\n" << extraLines;
  content.text = entry.str();
  return content;
}

std::optional<DesktopEntryFiles> writeDesktopEntry(const fs::path& installedBundle, const fs::path& dataDir) {
  int fd = ::open(installedBundle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  auto content = composeDesktopEntry(fd, installedBundle, true);
  ::close(fd);
  if (!content) return std::nullopt;
  const std::string& id = content->identifier;

  DesktopEntryFiles files;
  files.identifier = id;
  const fs::path hicolor = dataDir / "icons/hicolor";
  for (const auto& [size, png] : content->icons) {
    std::string dimension = std::to_string(size) + "x" + std::to_string(size);
    fs::path file = hicolor / dimension / "apps" / (id + ".png");
    writeFileAtomically(file, png);
    files.icons.push_back(file);
  }
  // An earlier version's icon at a size this one lacks would win the lookup.
  for (int size : kThemeSizes) {
    if (content->icons.count(size) != 0) continue;
    std::error_code ignored;
    fs::remove(hicolor / (std::to_string(size) + "x" + std::to_string(size)) / "apps" / (id + ".png"), ignored);
  }
  files.entry = dataDir / "applications" / (id + ".desktop");
  writeFileAtomically(files.entry, content->text);
  return files;
}

fs::path userDataDir() {
  if (const char* d = std::getenv("XDG_DATA_HOME"); d && *d == '/') return d;
  const char* home = std::getenv("HOME");
  return fs::path(home ? home : "/") / ".local/share";
}

void refreshDesktopDatabase(const fs::path& dataDir) {
  const char* path = std::getenv("PATH");
  std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::stringstream list(directories);
  std::string directory;
  while (std::getline(list, directory, ':')) {
    if (directory.empty() || directory.front() != '/') continue;
    fs::path tool = fs::path(directory) / "update-desktop-database";
    if (::access(tool.c_str(), X_OK) != 0) continue;
    try {
      runTool(tool, {"-q", (dataDir / "applications").string()});
    } catch (const std::exception&) {
    }
    return;
  }
}

}  // namespace installer
