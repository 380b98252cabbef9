#include "config/app_config.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <map>
#include <string_view>
#include <vector>

#include <mbedtls/base64.h>

#include "platform/bundle.h"
#include "platform/locale_info.h"

namespace installer {

namespace {

using platform::PlistValue;
using platform::URL;

// The keys in field order; lookup order matters only for diagnostics, but
// keeping the record's order makes the two easy to compare.
const char* const kKeys[] = {
    "InstallApplicationID",       "InstallApplicationName",
    "InstallApplicationVersion",  "MinimumSupportSystemVersion",
    "CarouselEnabled",            "ProductPageURL",
    "PrivacyPolicyURL",           "UserAgreementURL",
    "CustomerServiceURL",         "AllowedDownloadImmediatelyWhenApplicationLaunch",
    "StartUpArgs",                "InstallJumpCode",
    "CustomizeFilePath",          "DownloadPackageMD5",
    "DownloadPackageSize",        "InstallDirectoryOverride",
    "CheckUpdateURL",             "CheckUpdateApp",
    "CheckUpdateUID",             "CarouselURL",
    "InstallSuccessURL",          "PackageSigningPublicKey",
};

// The page links rewritten for the language, in this order.
const char* const kLocalizedLinkKeys[] = {
    "ProductPageURL", "CustomerServiceURL", "PrivacyPolicyURL", "UserAgreementURL",
    "InstallSuccessURL",
};

using Values = std::map<std::string, PlistValue>;

const PlistValue* find(const Values& values, const char* key) {
  auto it = values.find(key);
  return it == values.end() ? nullptr : &it->second;
}

std::optional<std::string> text(const Values& values, const char* key) {
  const PlistValue* v = find(values, key);
  if (!v || !v->string() || v->string()->empty()) return std::nullopt;
  return *v->string();
}

bool strictFlag(const Values& values, const char* key) {
  const PlistValue* v = find(values, key);
  if (!v) return false;
  if (v->isNumber()) return v->integerValue() == 1;
  return v->string() && *v->string() == "1";
}

bool lenientFlag(const Values& values, const char* key) {
  const PlistValue* v = find(values, key);
  if (!v) return false;
  if (v->isNumber()) return *v->numberValue() != 0;
  return v->string() && *v->string() == "1";
}

bool numberFlag(const Values& values, const char* key) {
  const PlistValue* v = find(values, key);
  return v && v->isNumber() && *v->numberValue() != 0;
}

std::optional<std::int64_t> number(const Values& values, const char* key) {
  const PlistValue* v = find(values, key);
  if (!v || !v->isNumber()) return std::nullopt;
  return v->integerValue();
}

// Base64 text of a 32-byte Ed25519 public key, blanks around it allowed.
std::optional<std::string> signingKey(const Values& values, const char* key) {
  auto value = text(values, key);
  if (!value) return std::nullopt;
  std::size_t begin = value->find_first_not_of(" \t\r\n");
  std::size_t end = value->find_last_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::nullopt;
  std::string base64 = value->substr(begin, end - begin + 1);
  // Padded standard Base64 only: 44 characters, the last one "=".
  if (base64.size() != 44 || base64.back() != '=' || base64[42] == '=') return std::nullopt;
  unsigned char raw[33];
  std::size_t length = 0;
  if (mbedtls_base64_decode(raw, sizeof raw, &length,
                            reinterpret_cast<const unsigned char*>(base64.data()), base64.size()) != 0 ||
      length != 32) {
    return std::nullopt;
  }
  return base64;
}

std::optional<URL> link(const Values& values, const char* key) {
  auto s = text(values, key);
  if (!s) return std::nullopt;
  return URL::parse(*s);
}

// Length of the white space or line break (ASCII or Unicode) that starts
// at `s[i]`, 0 when there is none.
std::size_t spaceLength(std::string_view s, std::size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  if (c == 0xC2 && i + 1 < s.size() && (at(i + 1) == 0x85 || at(i + 1) == 0xA0)) return 2;
  if (c == 0xE1 && i + 2 < s.size() && at(i + 1) == 0x9A && at(i + 2) == 0x80) return 3;
  if (c == 0xE2 && i + 2 < s.size()) {
    unsigned char b1 = at(i + 1), b2 = at(i + 2);
    if (b1 == 0x80 && (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) return 3;
    if (b1 == 0x81 && b2 == 0x9F) return 3;
  }
  if (c == 0xE3 && i + 2 < s.size() && at(i + 1) == 0x80 && at(i + 2) == 0x80) return 3;
  return 0;
}

std::string trimSpace(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t n = spaceLength(s, begin);
    if (n == 0) break;
    begin += n;
  }
  // Trailing: scan forward, remembering where the last non-space ended.
  std::size_t end = begin;
  for (std::size_t i = begin; i < s.size();) {
    std::size_t n = spaceLength(s, i);
    if (n == 0) {
      ++i;
      end = i;
    } else {
      i += n;
    }
  }
  return std::string(s.substr(begin, end - begin));
}

std::string lowercase(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::optional<URL> secureWebLink(const Values& values, const char* key) {
  const PlistValue* v = find(values, key);
  if (!v || !v->string()) return std::nullopt;
  auto url = URL::parse(trimSpace(*v->string()));
  if (!url || url->host().empty() || lowercase(url->scheme()) != "https") return std::nullopt;
  return url;
}

std::optional<std::string> directoryPath(const Values& values, const char* key) {
  auto s = text(values, key);
  if (!s) return std::nullopt;
  std::string path = platform::expandTilde(*s);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A decimal integer with an optional sign, the whole piece or nothing.
std::optional<long long> parseInteger(std::string_view piece) {
  if (!piece.empty() && piece[0] == '+') {
    piece.remove_prefix(1);
    if (!piece.empty() && piece[0] == '-') return std::nullopt;
  }
  long long value = 0;
  auto [ptr, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  if (ec != std::errc() || ptr != piece.data() + piece.size() || piece.empty()) return std::nullopt;
  return value;
}

std::string pathSegment(const std::string& languageCode) {
  if (languageCode.empty() || languageCode == "en") return std::string();
  static const std::map<std::string, std::string> kSegments = {
      {"ja", "jp"}, {"ko", "kr"}, {"zh", "zh-tw"}, {"zh-Hant", "zh-tw"}};
  auto it = kSegments.find(languageCode);
  return it == kSegments.end() ? languageCode : it->second;
}

}  // namespace

std::optional<std::string> installDirectoryProblem(const std::string& path) {
  if (path.empty()) return "empty";
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return "contains a control character";
  }
  if (path[0] != '/') return "not an absolute path";
  std::string_view rest(path);
  rest.remove_prefix(1);
  while (!rest.empty()) {
    auto slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (part == "..") return "contains \"..\"";
    if (part.empty() || part == ".") return "not a normalised path";
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
    if (rest.empty()) return "not a normalised path";
  }
  return std::nullopt;
}

std::string localizedLinkString(const std::string& link, const std::string& languageCode) {
  const std::string segment = pathSegment(languageCode);
  if (segment.empty()) return link;
  auto url = URL::parse(link);
  if (!url || url->scheme().empty()) return link;
  platform::URLComponents parts = url->components();
  parts.path = "/" + segment + parts.path;
  auto rewritten = parts.string();
  return rewritten ? *rewritten : link;
}

AppConfig AppConfig::load(const platform::KeyValueSource& source,
                          const std::string& languageCode) {
  Values values;
  for (const char* key : kKeys) {
    if (auto v = source.lookup(key)) values.emplace(key, std::move(*v));
  }
  for (const char* key : kLocalizedLinkKeys) {
    auto it = values.find(key);
    if (it != values.end() && it->second.string()) {
      it->second = PlistValue(localizedLinkString(*it->second.string(), languageCode));
    }
  }

  AppConfig config;
  config.productID = text(values, "InstallApplicationID").value_or("");
  config.productName = text(values, "InstallApplicationName").value_or("");
  config.productVersion = text(values, "InstallApplicationVersion").value_or("0.0.0");
  config.minimumSystemVersion = text(values, "MinimumSupportSystemVersion");
  config.carouselEnabled = strictFlag(values, "CarouselEnabled");
  config.productPageURL = link(values, "ProductPageURL");
  config.privacyPolicyURL = link(values, "PrivacyPolicyURL");
  config.userAgreementURL = link(values, "UserAgreementURL");
  config.customerServiceURL = link(values, "CustomerServiceURL");
  config.allowedDownloadImmediately =
      lenientFlag(values, "AllowedDownloadImmediatelyWhenApplicationLaunch");
  config.startUpArgs = text(values, "StartUpArgs").value_or("");
  config.installJumpCode = text(values, "InstallJumpCode").value_or("0");
  config.customizeFilePath = numberFlag(values, "CustomizeFilePath");
  config.packageMD5 = text(values, "DownloadPackageMD5");
  config.packageSize = number(values, "DownloadPackageSize");
  config.installDirectoryOverride = directoryPath(values, "InstallDirectoryOverride");
  config.checkUpdateURL = link(values, "CheckUpdateURL");
  config.checkUpdateApp = text(values, "CheckUpdateApp");
  config.checkUpdateUID = text(values, "CheckUpdateUID");
  if (!config.checkUpdateUID) config.checkUpdateUID = config.checkUpdateApp;
  config.carouselURL = secureWebLink(values, "CarouselURL");
  config.installSuccessURL = secureWebLink(values, "InstallSuccessURL");
  if (find(values, "PackageSigningPublicKey")) {
    config.packageSigningPublicKey = signingKey(values, "PackageSigningPublicKey");
    config.packageSigningKeyMalformed = !config.packageSigningPublicKey;
  }
  return config;
}

std::optional<URL> AppConfig::localizedCarouselURL(const std::string& languageCode) const {
  if (!carouselURL) return std::nullopt;
  if (languageCode.empty()) return carouselURL;
  platform::URLComponents parts = carouselURL->components();
  std::vector<platform::QueryItem> items = parts.queryItems().value_or(std::vector<platform::QueryItem>{});
  std::erase_if(items, [](const platform::QueryItem& item) { return item.name == "lang"; });
  items.push_back({"lang", languageCode});
  parts.setQueryItems(items);
  auto text = parts.string();
  if (!text) return carouselURL;
  auto url = URL::parse(*text);
  return url ? url : carouselURL;
}

bool AppConfig::supportsCurrentSystem(const platform::SystemVersion& running) const {
  if (!minimumSystemVersion) return true;
  std::vector<long long> required;
  std::string_view rest = *minimumSystemVersion;
  while (true) {
    std::size_t dot = rest.find('.');
    std::string_view piece = rest.substr(0, dot);
    if (!piece.empty()) {
      if (auto n = parseInteger(piece)) required.push_back(*n);
    }
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  if (required.empty()) return true;

  const std::size_t positions = std::max<std::size_t>(required.size(), 3);
  for (std::size_t i = 0; i < positions; ++i) {
    // Positions past the third compare against the patch number again.
    long long have = i == 0 ? running.major : i == 1 ? running.minor : running.patch;
    long long need = i < required.size() ? required[i] : 0;
    if (need != have) return need < have;
  }
  return true;
}

std::string currentLanguageCode() {
  auto preferred = platform::Bundle::main().preferredLocalizations();
  if (!preferred.empty()) return preferred.front();
  return platform::currentLocaleIdentifier();
}

std::string systemVersionString() { return platform::runningSystemVersion().text(); }

std::string displayName() {
  auto name = platform::Bundle::main().lookup("CFBundleName");
  if (name && name->string() && !name->string()->empty()) return *name->string();
  return "Installer";
}

}  // namespace installer
