#include "publish/bundle_lint.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include <webp/decode.h>

#include "config/app_config.h"
#include "platform/plist.h"
#include "platform/strings_file.h"
#include "telemetry/log_deployment.h"

namespace installer::publish {

namespace fs = std::filesystem;
using platform::PlistDict;
using platform::PlistValue;

std::string LintFinding::line() const {
  return std::string(severity == Severity::error ? "error: " : "warning: ") + subject + ": " + problem +
         " (fix: " + fix + ")";
}

bool hasErrors(const std::vector<LintFinding>& findings) {
  return std::any_of(findings.begin(), findings.end(),
                     [](const LintFinding& f) { return f.severity == LintFinding::Severity::error; });
}

namespace {

using Findings = std::vector<LintFinding>;

void error(Findings& out, std::string subject, std::string problem, std::string fix) {
  out.push_back({LintFinding::Severity::error, std::move(subject), std::move(problem), std::move(fix)});
}
void warning(Findings& out, std::string subject, std::string problem, std::string fix) {
  out.push_back({LintFinding::Severity::warning, std::move(subject), std::move(problem), std::move(fix)});
}

// The configuration the installer would build from this one key alone.
AppConfig loadOne(const std::string& key, const PlistValue& value) {
  return AppConfig::load(platform::DictKeyValueSource(PlistDict{{key, value}}), "en");
}

bool isVersion(const std::string& text) {
  static const std::regex form("[0-9]+(\\.[0-9]+)*");
  return std::regex_match(text, form);
}

bool isHttps(const std::optional<platform::URL>& url) {
  if (!url) return false;
  std::string scheme = url->scheme();
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), ::tolower);
  return scheme == "https" && !url->host().empty();
}

enum class Kind { text, version, flag, number, md5, link, secureLink, directory, signingKey };

struct KeyRule {
  const char* key;
  Kind kind;
  // Whether the installer took the value; unused for flags.
  std::function<bool(const AppConfig&)> taken;
};

const std::vector<KeyRule>& keyRules() {
  static const std::vector<KeyRule> rules = {
      {"InstallApplicationID", Kind::text, [](const AppConfig& c) { return !c.productID.empty(); }},
      {"InstallApplicationName", Kind::text, [](const AppConfig& c) { return !c.productName.empty(); }},
      {"InstallApplicationVersion", Kind::version, [](const AppConfig& c) { return c.productVersion != "0.0.0"; }},
      {"MinimumSupportSystemVersion", Kind::version,
       [](const AppConfig& c) { return c.minimumSystemVersion.has_value(); }},
      {"CarouselEnabled", Kind::flag, nullptr},
      {"ProductPageURL", Kind::link, [](const AppConfig& c) { return isHttps(c.productPageURL); }},
      {"PrivacyPolicyURL", Kind::link, [](const AppConfig& c) { return isHttps(c.privacyPolicyURL); }},
      {"UserAgreementURL", Kind::link, [](const AppConfig& c) { return isHttps(c.userAgreementURL); }},
      {"CustomerServiceURL", Kind::link, [](const AppConfig& c) { return isHttps(c.customerServiceURL); }},
      {"AllowedDownloadImmediatelyWhenApplicationLaunch", Kind::flag, nullptr},
      {"StartUpArgs", Kind::text, [](const AppConfig& c) { return !c.startUpArgs.empty(); }},
      {"InstallJumpCode", Kind::text, [](const AppConfig& c) { return c.installJumpCode != "0"; }},
      {"CustomizeFilePath", Kind::flag, nullptr},
      {"DownloadPackageMD5", Kind::md5, [](const AppConfig& c) { return c.packageMD5.has_value(); }},
      {"DownloadPackageSize", Kind::number, [](const AppConfig& c) { return c.packageSize.has_value(); }},
      {"InstallDirectoryOverride", Kind::directory,
       [](const AppConfig& c) { return c.installDirectoryOverride.has_value(); }},
      {"CheckUpdateURL", Kind::link, [](const AppConfig& c) { return isHttps(c.checkUpdateURL); }},
      {"CheckUpdateApp", Kind::text, [](const AppConfig& c) { return c.checkUpdateApp.has_value(); }},
      {"CheckUpdateUID", Kind::text, [](const AppConfig& c) { return c.checkUpdateUID.has_value(); }},
      {"CarouselURL", Kind::secureLink, [](const AppConfig& c) { return c.carouselURL.has_value(); }},
      {"InstallSuccessURL", Kind::secureLink, [](const AppConfig& c) { return c.installSuccessURL.has_value(); }},
      {"PackageSigningPublicKey", Kind::signingKey,
       [](const AppConfig& c) { return c.packageSigningPublicKey.has_value(); }},
  };
  return rules;
}

// Flags read 1 as on and 0 as off; anything else silently reads as off.
bool flagFormIsClear(const PlistValue& value) {
  if (value.isBool()) return true;
  if (value.isNumber()) return value.integerValue() == 0 || value.integerValue() == 1;
  return value.string() && (*value.string() == "0" || *value.string() == "1");
}

std::string valueText(const PlistValue& value) {
  if (const std::string* s = value.string()) return "\"" + *s + "\"";
  if (value.isBool()) return *value.numberValue() != 0 ? "<true/>" : "<false/>";
  if (value.isNumber()) {
    std::ostringstream out;
    out << *value.numberValue();
    return out.str();
  }
  return "a value of another kind";
}

void lintKey(Findings& out, const KeyRule& rule, const PlistValue& value) {
  const std::string key = rule.key;
  const AppConfig config = loadOne(key, value);
  switch (rule.kind) {
    case Kind::flag:
      if (!flagFormIsClear(value)) {
        error(out, key, valueText(value) + " is neither 0 nor 1 and the installer reads it as off",
              "write <integer>1</integer> to turn it on, <integer>0</integer> to turn it off");
      }
      return;
    case Kind::signingKey:
      if (config.packageSigningKeyMalformed) {
        error(out, key, "not the Base64 text of a 32-byte Ed25519 public key; every install would be refused",
              "paste the line `installer-publish keygen` printed");
      }
      return;
    case Kind::directory:
      if (!rule.taken(config)) {
        error(out, key, "not a non-empty text", "write an absolute folder such as /Applications");
      } else if (auto problem = installDirectoryProblem(*config.installDirectoryOverride)) {
        error(out, key, *config.installDirectoryOverride + ": " + *problem + "; every install would be refused",
              "write an absolute, normalised folder such as /Applications, without \".\" or \"..\"");
      }
      return;
    default:
      break;
  }
  if (!rule.taken(config)) {
    switch (rule.kind) {
      case Kind::link:
        error(out, key, valueText(value) + " is not an https address the installer can use",
              "write a full https:// address as a string");
        break;
      case Kind::secureLink:
        error(out, key, valueText(value) + " is not an https address with a host; the installer ignores it",
              "write a full https:// address as a string");
        break;
      case Kind::number:
        error(out, key, valueText(value) + " is not a number; the installer ignores it",
              "write it as <integer>, or better remove it");
        break;
      default:
        error(out, key, valueText(value) + " is not a non-empty text; the installer ignores it",
              "write it as a non-empty <string>");
        break;
    }
    return;
  }
  if (rule.kind == Kind::version && !isVersion(*value.string())) {
    error(out, key, valueText(value) + " is not a version of numbers and dots", "write it like 1.4.2");
  }
  if (rule.kind == Kind::md5) {
    static const std::regex hex("[0-9a-fA-F]{32}");
    if (!std::regex_match(*value.string(), hex)) {
      error(out, key, valueText(value) + " is not 32 hex digits; every install would fail its check",
            "remove it and let the update service send the md5");
    } else {
      warning(out, key, "ties this installer to one package build: any other package fails with "
                        "\"checksum mismatch\"",
              "remove it; the update-check answer carries the md5 of the package it links to");
    }
  }
  if (rule.kind == Kind::number) {
    warning(out, key, "ties this installer to one package build: any other package fails with "
                      "\"size mismatch: expected " + std::to_string(*config.packageSize) + ", got ...\"",
            "remove it; the update-check answer's md5, sha256 and signature already prove the package");
  }
}

void lintConfiguration(Findings& out, const PlistDict& info) {
  for (const auto& rule : keyRules()) {
    auto it = info.find(rule.key);
    if (it != info.end()) lintKey(out, rule, it->second);
  }
  for (const char* key : {"InstallApplicationID", "InstallApplicationName", "CheckUpdateURL", "CheckUpdateApp"}) {
    if (!info.count(key)) {
      error(out, key, "missing; without it the installer has nothing to find or download",
            "add it to Contents/Info.plist (see docs/vendor.md)");
    }
  }
}

void lintExecutable(Findings& out, const fs::path& bundle, const PlistDict& info) {
  auto it = info.find("CFBundleExecutable");
  const std::string* name = it == info.end() ? nullptr : it->second.string();
  if (!name || name->empty()) {
    error(out, "CFBundleExecutable", "missing; the installer bundle cannot be started",
          "name the program in Contents/MacOS");
    return;
  }
  fs::path exe = bundle / "Contents" / "MacOS" / *name;
  if (::access(exe.c_str(), X_OK) != 0) {
    error(out, "CFBundleExecutable", "Contents/MacOS/" + *name + " is missing or not executable",
          "chmod 755 it, and pack with installer-publish so the bit survives");
  }
}

std::optional<std::pair<int, int>> pictureSize(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto be32 = [&](std::size_t at) {
    int v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  if (bytes.size() >= 24 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0 && bytes.compare(12, 4, "IHDR") == 0) {
    return std::pair{be32(16), be32(20)};
  }
  int width = 0, height = 0;
  if (WebPGetInfo(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &width, &height)) {
    return std::pair{width, height};
  }
  return std::nullopt;
}

void lintPictures(Findings& out, const fs::path& resources) {
  struct Picture {
    const char* name;
    const char* ext;
    int width, height;
  };
  static const Picture pictures[] = {
      {"AppIcon", "png", 128, 128}, {"Background", "webp", 640, 296}, {"Loading", "webp", 640, 360}};
  for (const auto& p : pictures) {
    const std::string single = std::string(p.name) + "." + p.ext;
    const std::string doubled = std::string(p.name) + "@2x." + p.ext;
    std::error_code ec1, ec2;
    auto singleTime = fs::last_write_time(resources / single, ec1);
    auto doubledTime = fs::last_write_time(resources / doubled, ec2);
    if (!ec1 && !ec2 && singleTime - doubledTime > std::chrono::hours(1)) {
      warning(out, "Resources/" + doubled, "older than " + single + "; screens at scale 2 may still show the old picture",
              "replace both sizes together");
    }
    for (int scale : {1, 2}) {
      std::string file = std::string(p.name) + (scale == 2 ? "@2x." : ".") + p.ext;
      std::string want = std::to_string(p.width * scale) + " x " + std::to_string(p.height * scale);
      std::error_code ec;
      if (!fs::is_regular_file(resources / file, ec)) {
        warning(out, "Resources/" + file,
                scale == 2 ? "missing; on screens at scale 2 the 1x picture is stretched and blurred"
                           : "missing; the installer shows an empty area in its place",
                "add a " + want + " picture");
        continue;
      }
      auto size = pictureSize(resources / file);
      if (!size) {
        error(out, "Resources/" + file, std::string("not a readable ") + p.ext + " picture",
              std::string("save it as ") + p.ext);
      } else if (size->first != p.width * scale || size->second != p.height * scale) {
        error(out, "Resources/" + file,
              std::to_string(size->first) + " x " + std::to_string(size->second) + " pixels; it would be stretched",
              "make it " + want + " pixels");
      }
    }
  }
}

void lintStrings(Findings& out, const fs::path& resources) {
  // table name -> language -> keys
  std::map<std::string, std::map<std::string, std::set<std::string>>> tables;
  std::error_code ec;
  std::vector<fs::path> languages;
  for (const auto& entry : fs::directory_iterator(resources, ec)) {
    if (entry.path().extension() == ".lproj") languages.push_back(entry.path());
  }
  std::sort(languages.begin(), languages.end());
  for (const auto& dir : languages) {
    const std::string language = dir.stem().string();
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      if (entry.path().extension() == ".strings") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      auto parsed = platform::parseStrings(text);
      const std::string subject = "Resources/" + language + ".lproj/" + file.filename().string();
      for (const auto& problem : parsed.problems) {
        error(out, subject, problem, "write entries as \"key\" = \"value\"; in UTF-8");
      }
      auto& keys = tables[file.filename().string()][language];
      for (const auto& [key, value] : parsed.entries) keys.insert(key);
    }
  }
  for (const auto& [table, byLanguage] : tables) {
    std::set<std::string> all;
    for (const auto& [language, keys] : byLanguage) all.insert(keys.begin(), keys.end());
    for (const auto& [language, keys] : byLanguage) {
      for (const auto& key : all) {
        if (!keys.count(key)) {
          error(out, "Resources/" + language + ".lproj/" + table, "has no \"" + key + "\"; that language shows the key",
                "add \"" + key + "\" to every language's " + table);
        }
      }
    }
  }
}

void lintLogConstants(Findings& out) {
  const LogDeployment& log = buildLogDeployment();
  const std::pair<const char*, const std::string*> constants[] = {
      {"INSTALLER_LOG_ENDPOINT", &log.endpoint},
      {"INSTALLER_LOG_PROJECT", &log.project},
      {"INSTALLER_LOG_LOGSTORE", &log.logstore},
      {"INSTALLER_LOG_ACCESS_KEY_ID", &log.accessKeyId},
      {"INSTALLER_LOG_ACCESS_KEY_SECRET", &log.accessKeySecret},
  };
  int set = 0;
  for (const auto& [name, value] : constants) set += value->empty() ? 0 : 1;
  if (set == 0) {
    warning(out, "INSTALLER_LOG_*", "this build reports no events (telemetry off)",
            "configure the build with the five INSTALLER_LOG_* values of your log project");
    return;
  }
  for (const auto& [name, value] : constants) {
    if (value->empty()) {
      error(out, name, "empty while the others are set; uploads would be refused",
            "configure the build with all five INSTALLER_LOG_* values");
    }
  }
  static const std::regex endpoint("[A-Za-z0-9.-]+(:[0-9]{1,5})?");
  if (!log.endpoint.empty() && !std::regex_match(log.endpoint, endpoint)) {
    error(out, "INSTALLER_LOG_ENDPOINT", "\"" + log.endpoint + "\" is not host[:port]",
          "give the host name alone, without scheme or path");
  }
}

}  // namespace

std::vector<LintFinding> lintInstallerBundle(const fs::path& bundle) {
  Findings out;
  std::string problem;
  auto info = platform::readPlistDict(bundle / "Contents" / "Info.plist", &problem);
  if (!info) {
    error(out, "Contents/Info.plist", problem.empty() ? "cannot be read" : problem,
          "write a valid XML property list whose root is a dictionary");
    return out;
  }
  lintConfiguration(out, *info);
  lintExecutable(out, bundle, *info);
  lintPictures(out, bundle / "Contents" / "Resources");
  lintStrings(out, bundle / "Contents" / "Resources");
  lintLogConstants(out);
  return out;
}

}  // namespace installer::publish
