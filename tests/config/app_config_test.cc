#include "config/app_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>

#include "platform/locale_info.h"

namespace installer {
namespace {

using platform::PlistDict;
using platform::PlistValue;
using platform::SystemVersion;

AppConfig load(PlistDict dict, const std::string& language = "en") {
  return AppConfig::load(platform::DictKeyValueSource(std::move(dict)), language);
}

std::string text(const std::optional<platform::URL>& url) {
  return url ? url->absoluteString() : "<absent>";
}

TEST(AppConfigTest, EmptyDictionaryGivesTheDefaults) {
  AppConfig c = load({});
  EXPECT_EQ(c.productID, "");
  EXPECT_EQ(c.productName, "");
  EXPECT_EQ(c.productVersion, "0.0.0");
  EXPECT_FALSE(c.minimumSystemVersion);
  EXPECT_FALSE(c.carouselEnabled);
  EXPECT_FALSE(c.productPageURL);
  EXPECT_FALSE(c.privacyPolicyURL);
  EXPECT_FALSE(c.userAgreementURL);
  EXPECT_FALSE(c.customerServiceURL);
  EXPECT_FALSE(c.allowedDownloadImmediately);
  EXPECT_EQ(c.startUpArgs, "");
  EXPECT_EQ(c.installJumpCode, "0");
  EXPECT_FALSE(c.customizeFilePath);
  EXPECT_FALSE(c.packageMD5);
  EXPECT_FALSE(c.packageSize);
  EXPECT_FALSE(c.installDirectoryOverride);
  EXPECT_FALSE(c.checkUpdateURL);
  EXPECT_FALSE(c.checkUpdateApp);
  EXPECT_FALSE(c.checkUpdateUID);
  EXPECT_FALSE(c.carouselURL);
  EXPECT_FALSE(c.installSuccessURL);
}

TEST(AppConfigTest, EveryKeyIsRead) {
  AppConfig c = load({
      {"InstallApplicationID", "com.example.app"},
      {"InstallApplicationName", "Example"},
      {"InstallApplicationVersion", "2.3.4"},
      {"MinimumSupportSystemVersion", "10.15"},
      {"CarouselEnabled", true},
      {"ProductPageURL", "https://example.com/product"},
      {"PrivacyPolicyURL", "https://example.com/privacy"},
      {"UserAgreementURL", "https://example.com/eula"},
      {"CustomerServiceURL", "https://example.com/support"},
      {"AllowedDownloadImmediatelyWhenApplicationLaunch", 1},
      {"StartUpArgs", "--fast"},
      {"InstallJumpCode", "7"},
      {"CustomizeFilePath", 1},
      {"DownloadPackageMD5", "d41d8cd98f00b204e9800998ecf8427e"},
      {"DownloadPackageSize", std::int64_t{5000000000}},
      {"InstallDirectoryOverride", "/opt/apps"},
      {"CheckUpdateURL", "https://update.example.com/check"},
      {"CheckUpdateApp", "app-1"},
      {"CheckUpdateUID", "uid-1"},
      {"CarouselURL", "https://example.com/carousel"},
      {"InstallSuccessURL", "https://example.com/thanks"},
  });
  EXPECT_EQ(c.productID, "com.example.app");
  EXPECT_EQ(c.productName, "Example");
  EXPECT_EQ(c.productVersion, "2.3.4");
  EXPECT_EQ(c.minimumSystemVersion, "10.15");
  EXPECT_TRUE(c.carouselEnabled);
  EXPECT_EQ(text(c.productPageURL), "https://example.com/product");
  EXPECT_EQ(text(c.privacyPolicyURL), "https://example.com/privacy");
  EXPECT_EQ(text(c.userAgreementURL), "https://example.com/eula");
  EXPECT_EQ(text(c.customerServiceURL), "https://example.com/support");
  EXPECT_TRUE(c.allowedDownloadImmediately);
  EXPECT_EQ(c.startUpArgs, "--fast");
  EXPECT_EQ(c.installJumpCode, "7");
  EXPECT_TRUE(c.customizeFilePath);
  EXPECT_EQ(c.packageMD5, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(c.packageSize, 5000000000);
  EXPECT_EQ(c.installDirectoryOverride, "/opt/apps");
  EXPECT_EQ(text(c.checkUpdateURL), "https://update.example.com/check");
  EXPECT_EQ(c.checkUpdateApp, "app-1");
  EXPECT_EQ(c.checkUpdateUID, "uid-1");
  EXPECT_EQ(text(c.carouselURL), "https://example.com/carousel");
  EXPECT_EQ(text(c.installSuccessURL), "https://example.com/thanks");
  EXPECT_FALSE(c.packageSigningPublicKey);  // optional, and absent here
  EXPECT_FALSE(c.packageSigningKeyMalformed);
}

// A signing key in any other form than Base64 text of 32 bytes must not
// read as "no key": the installer then refuses to install at all.
TEST(AppConfigTest, SigningKeyIsBase64TextOf32BytesOrMarkedMalformed) {
  const std::string key = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";  // 32 bytes
  struct Case {
    const char* what;
    PlistValue value;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"Base64 text", key, key},
      {"with blanks around", " " + key + "\n", key},
      {"raw bytes as data", PlistValue(platform::PlistData{std::vector<std::uint8_t>(32, 7)}), std::nullopt},
      {"a number", 32, std::nullopt},
      {"a boolean", true, std::nullopt},
      {"an empty text", "", std::nullopt},
      {"too short", "a2V5", std::nullopt},
      {"33 bytes", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", std::nullopt},
      {"31 bytes", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==", std::nullopt},
      {"not Base64", "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcH*Ro=", std::nullopt},
      {"unpadded", "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AppConfig config = load({{"PackageSigningPublicKey", c.value}});
    EXPECT_EQ(config.packageSigningPublicKey, c.expected);
    EXPECT_EQ(config.packageSigningKeyMalformed, !c.expected);
  }
}

TEST(AppConfigTest, TextFields) {
  EXPECT_EQ(load({{"InstallApplicationVersion", ""}}).productVersion, "0.0.0");
  EXPECT_EQ(load({{"InstallApplicationVersion", 3}}).productVersion, "0.0.0");
  EXPECT_EQ(load({{"InstallJumpCode", 5}}).installJumpCode, "0");
  EXPECT_EQ(load({{"InstallApplicationName", " x "}}).productName, " x ");  // no trimming
  EXPECT_FALSE(load({{"DownloadPackageMD5", ""}}).packageMD5);
  EXPECT_FALSE(load({{"MinimumSupportSystemVersion", true}}).minimumSystemVersion);
  EXPECT_FALSE(load({{"InstallApplicationID", PlistValue(platform::PlistArray{"a"})}}).productID.size());
}

TEST(AppConfigTest, Flags) {
  struct Case {
    PlistValue value;
    bool strict, lenient, number;
  };
  const Case cases[] = {
      {true, true, true, true},
      {false, false, false, false},
      {1, true, true, true},
      {0, false, false, false},
      {2, false, true, true},
      {5, false, true, true},
      {-1, false, true, true},
      {1.0, true, true, true},
      {0.5, false, true, true},
      {"1", true, true, false},
      {"true", false, false, false},
      {"yes", false, false, false},
      {"0", false, false, false},
      {" 1", false, false, false},
      {"", false, false, false},
  };
  for (const auto& c : cases) {
    AppConfig config = load({{"CarouselEnabled", c.value},
                             {"AllowedDownloadImmediatelyWhenApplicationLaunch", c.value},
                             {"CustomizeFilePath", c.value}});
    SCOPED_TRACE(::testing::PrintToString(c.value.storage().index()) + " " +
                 (c.value.string() ? *c.value.string() : std::to_string(*c.value.numberValue())));
    EXPECT_EQ(config.carouselEnabled, c.strict);
    EXPECT_EQ(config.allowedDownloadImmediately, c.lenient);
    EXPECT_EQ(config.customizeFilePath, c.number);
  }
}

TEST(AppConfigTest, PackageSize) {
  EXPECT_FALSE(load({{"DownloadPackageSize", "1024"}}).packageSize);
  EXPECT_EQ(load({{"DownloadPackageSize", 1024}}).packageSize, 1024);
  EXPECT_EQ(load({{"DownloadPackageSize", 1024.9}}).packageSize, 1024);
  EXPECT_EQ(load({{"DownloadPackageSize", std::numeric_limits<std::int64_t>::max()}}).packageSize,
            std::numeric_limits<std::int64_t>::max());
}

TEST(AppConfigTest, CheckUpdateUIDFallsBackToTheApp) {
  AppConfig c = load({{"CheckUpdateApp", "abc"}});
  EXPECT_EQ(c.checkUpdateApp, "abc");
  EXPECT_EQ(c.checkUpdateUID, "abc");
  EXPECT_EQ(load({{"CheckUpdateApp", "abc"}, {"CheckUpdateUID", ""}}).checkUpdateUID, "abc");
  EXPECT_EQ(load({{"CheckUpdateUID", "u"}}).checkUpdateUID, "u");
  EXPECT_FALSE(load({{"CheckUpdateUID", 5}}).checkUpdateUID);
}

TEST(AppConfigTest, LinksParseWithoutTrimming) {
  EXPECT_EQ(text(load({{"CheckUpdateURL", "http://update.example/x"}}).checkUpdateURL),
            "http://update.example/x");
  EXPECT_FALSE(load({{"CheckUpdateURL", " https://u/x"}}).checkUpdateURL);
  EXPECT_FALSE(load({{"CheckUpdateURL", "https://u/a b"}}).checkUpdateURL);
  EXPECT_FALSE(load({{"CheckUpdateURL", ""}}).checkUpdateURL);
  EXPECT_FALSE(load({{"ProductPageURL", 1}}).productPageURL);
}

TEST(AppConfigTest, SecureWebLinks) {
  struct Case {
    const char* value;
    const char* expected;  // nullptr: absent
  };
  const Case cases[] = {
      {"  HTTPS://host/x \n", "HTTPS://host/x"},
      {"\t\r\nhttps://host/x", "https://host/x"},
      {"\xc2\xa0https://host/x\xe3\x80\x80", "https://host/x"},  // Unicode blanks
      {"https://host/x", "https://host/x"},
      {"http://host/x", nullptr},
      {"https:///x", nullptr},
      {"https:x", nullptr},
      {"ftp://host/x", nullptr},
      {"host/x", nullptr},
      {"", nullptr},
      {"   ", nullptr},
      {"https://host/a b", nullptr},
  };
  for (const auto& c : cases) {
    AppConfig config = load({{"CarouselURL", c.value}, {"InstallSuccessURL", c.value}});
    EXPECT_EQ(text(config.carouselURL), c.expected ? c.expected : "<absent>") << c.value;
    EXPECT_EQ(text(config.installSuccessURL), c.expected ? c.expected : "<absent>") << c.value;
  }
  EXPECT_FALSE(load({{"CarouselURL", 1}}).carouselURL);
}

TEST(AppConfigTest, InstallDirectoryExpandsTilde) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(load({{"InstallDirectoryOverride", "~/Apps"}}).installDirectoryOverride,
            std::string(home) + "/Apps");
  EXPECT_EQ(load({{"InstallDirectoryOverride", "/a/~b"}}).installDirectoryOverride, "/a/~b");
  EXPECT_FALSE(load({{"InstallDirectoryOverride", ""}}).installDirectoryOverride);
  EXPECT_FALSE(load({{"InstallDirectoryOverride", 1}}).installDirectoryOverride);
  // Kept as given but for trailing slashes, so that a faulty one is refused
  // at install time rather than silently replaced.
  EXPECT_EQ(load({{"InstallDirectoryOverride", "/opt/apps//"}}).installDirectoryOverride, "/opt/apps");
  EXPECT_EQ(load({{"InstallDirectoryOverride", "../apps"}}).installDirectoryOverride, "../apps");
  EXPECT_EQ(installDirectoryProblem(std::string(home) + "/Apps"), std::nullopt);
  EXPECT_EQ(installDirectoryProblem("/"), std::nullopt);
  EXPECT_EQ(installDirectoryProblem("../apps"), "not an absolute path");
}

TEST(LocalizedLinkTest, PathSegments) {
  struct Case {
    const char* link;
    const char* language;
    const char* expected;
  };
  const Case cases[] = {
      {"https://host/p?a=1", "ja", "https://host/jp/p?a=1"},
      {"https://host/p?a=1", "en", "https://host/p?a=1"},
      {"https://host/p?a=1", "", "https://host/p?a=1"},
      {"https://host/p", "fr", "https://host/fr/p"},
      {"https://host/p", "ko", "https://host/kr/p"},
      {"https://host/p", "zh", "https://host/zh-tw/p"},
      {"https://host/p", "zh-Hant", "https://host/zh-tw/p"},
      {"https://host/p", "zh-Hans", "https://host/zh-Hans/p"},  // not listed: the code itself
      {"https://host/p", "JA", "https://host/JA/p"},            // case-sensitive
      {"https://host/p", "en-GB", "https://host/en-GB/p"},
      {"https://host", "ja", "https://host/jp"},
      {"https://host/", "ja", "https://host/jp/"},
      {"https://u@host:8443/p#f", "ja", "https://u@host:8443/jp/p#f"},
      {"not a url", "ja", "not a url"},
      {"relative/path", "ja", "relative/path"},  // no scheme
      {"", "ja", ""},
      {"https://host/p", "a b", "https://host/p"},  // cannot form a URL: unchanged
  };
  for (const auto& c : cases) {
    EXPECT_EQ(localizedLinkString(c.link, c.language), c.expected) << c.link << " " << c.language;
  }
}

TEST(LocalizedLinkTest, LoadLocalizesTheFiveLinksOnly) {
  PlistDict dict = {
      {"ProductPageURL", "https://h/product"},
      {"CustomerServiceURL", "https://h/support"},
      {"PrivacyPolicyURL", "https://h/privacy?a=1"},
      {"UserAgreementURL", "https://h/eula"},
      {"InstallSuccessURL", "https://h/thanks"},
      {"CheckUpdateURL", "https://h/check"},
      {"CarouselURL", "https://h/carousel"},
  };
  AppConfig c = load(dict, "ja");
  EXPECT_EQ(text(c.productPageURL), "https://h/jp/product");
  EXPECT_EQ(text(c.customerServiceURL), "https://h/jp/support");
  EXPECT_EQ(text(c.privacyPolicyURL), "https://h/jp/privacy?a=1");
  EXPECT_EQ(text(c.userAgreementURL), "https://h/jp/eula");
  EXPECT_EQ(text(c.installSuccessURL), "https://h/jp/thanks");
  EXPECT_EQ(text(c.checkUpdateURL), "https://h/check");
  EXPECT_EQ(text(c.carouselURL), "https://h/carousel");

  AppConfig english = load(dict, "en");
  EXPECT_EQ(text(english.privacyPolicyURL), "https://h/privacy?a=1");
  EXPECT_EQ(text(load(dict, "fr").privacyPolicyURL), "https://h/fr/privacy?a=1");
}

TEST(LocalizedCarouselTest, LangIsReplacedAndLast) {
  struct Case {
    const char* carousel;
    const char* language;
    const char* expected;
  };
  const Case cases[] = {
      {"https://host/c?lang=en&x=1", "ko", "https://host/c?x=1&lang=ko"},
      {"https://host/c", "ja", "https://host/c?lang=ja"},
      {"https://host/c?", "ja", "https://host/c?lang=ja"},
      {"https://host/c?lang=a&lang=b&Lang=c", "de", "https://host/c?Lang=c&lang=de"},
      {"https://host/c?x=1#top", "fr", "https://host/c?x=1&lang=fr#top"},
      {"https://host/c?q=a+b&r=%20", "fr", "https://host/c?q=a+b&r=%20&lang=fr"},
      {"https://host/c?x=1", "", "https://host/c?x=1"},
      {"https://host/c", "zh Hans", "https://host/c?lang=zh%20Hans"},
      {"https://host/c", "a&b=c", "https://host/c?lang=a%26b%3Dc"},
  };
  for (const auto& c : cases) {
    AppConfig config = load({{"CarouselURL", c.carousel}});
    ASSERT_TRUE(config.carouselURL) << c.carousel;
    EXPECT_EQ(text(config.localizedCarouselURL(c.language)), c.expected)
        << c.carousel << " " << c.language;
  }
  EXPECT_FALSE(load({}).localizedCarouselURL("en"));
}

TEST(MinimumSystemVersionTest, Walk) {
  struct Case {
    const char* minimum;
    SystemVersion running;
    bool supported;
  };
  const Case cases[] = {
      {"10.15", {10, 15, 0}, true},
      {"10.15.1", {10, 15, 0}, false},
      {"11", {10, 15, 7}, false},
      {"10.9", {10, 15, 7}, true},
      {"abc", {10, 15, 0}, true},
      {"10.15.0.1", {10, 15, 0}, false},  // the fourth number meets the patch again
      {"10.15.0.1", {10, 15, 1}, true},   // the patch decides first
      {"10.15.2.1", {10, 15, 2}, true},   // 10,15,2 equal, then 1 < 2
      {"10.15.2.3", {10, 15, 2}, false},
      {"12", {12, 0, 0}, true},
      {"12", {12, 8, 0}, true},
      {"13", {12, 8, 0}, false},
      {"12.8.0", {12, 8, 0}, true},
      {"12..8", {12, 8, 0}, true},        // empty pieces dropped
      {".12.8.", {12, 8, 0}, true},
      {"12.x.9", {12, 9, 0}, true},       // unparsable piece dropped: 12.9
      {"12.x.9", {12, 8, 5}, false},
      {"12.8b", {11, 0, 0}, false},       // "8b" dropped: 12
      {"+12", {12, 0, 0}, true},
      {"-1", {0, 0, 0}, true},
      {"", {1, 2, 3}, true},
      {"...", {1, 2, 3}, true},
      {"99999999999999999999", {1, 0, 0}, true},  // does not parse: no number
      {"0.0.1", {0, 0, 0}, false},
  };
  for (const auto& c : cases) {
    AppConfig config = load({{"MinimumSupportSystemVersion", c.minimum}});
    EXPECT_EQ(config.supportsCurrentSystem(c.running), c.supported)
        << c.minimum << " on " << c.running.text();
  }
  EXPECT_TRUE(load({}).supportsCurrentSystem({0, 0, 0}));
}

TEST(MinimumSystemVersionTest, DefaultsToTheRunningSystem) {
  platform::ScopedSystemVersionOverride running({10, 15, 0});
  EXPECT_TRUE(load({{"MinimumSupportSystemVersion", "10.15"}}).supportsCurrentSystem());
  EXPECT_FALSE(load({{"MinimumSupportSystemVersion", "10.15.1"}}).supportsCurrentSystem());
  EXPECT_EQ(systemVersionString(), "10.15.0");
}

TEST(AppIdentityTest, OutsideABundle) {
  // The test executable does not live in a bundle: no name, no
  // localizations.
  EXPECT_EQ(displayName(), "Installer");
  EXPECT_EQ(currentLanguageCode(), platform::currentLocaleIdentifier());
}

// A throwaway bundle holding a copy of the identity probe as its executable.
class TestBundle {
 public:
  TestBundle(const PlistDict& info, const std::map<std::string, std::string>& lprojInfoStrings,
             const std::vector<std::string>& lprojs) {
    char pattern[] = "/tmp/app-identity-XXXXXX";
    root_ = ::mkdtemp(pattern);
    auto contents = root_ / "Demo.app" / "Contents";
    std::filesystem::create_directories(contents / "MacOS");
    std::filesystem::copy_file(APP_IDENTITY_PROBE, contents / "MacOS" / "Demo");
    platform::writeXmlPlist(contents / "Info.plist", info);
    for (const auto& lproj : lprojs) {
      auto dir = contents / "Resources" / (lproj + ".lproj");
      std::filesystem::create_directories(dir);
      auto it = lprojInfoStrings.find(lproj);
      if (it != lprojInfoStrings.end()) {
        std::FILE* f = std::fopen((dir / "InfoPlist.strings").c_str(), "w");
        std::fputs(it->second.c_str(), f);
        std::fclose(f);
      }
    }
    executable_ = contents / "MacOS" / "Demo";
  }
  ~TestBundle() { std::filesystem::remove_all(root_); }

  // Runs the probe with the given LANGUAGE and returns its key=value lines.
  std::map<std::string, std::string> run(const std::string& language) const {
    std::string command =
        "LANGUAGE=" + language + " LC_ALL= LC_MESSAGES= LANG= '" + executable_.string() + "'";
    std::map<std::string, std::string> values;
    std::FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr) return values;
    char line[1024];
    while (std::fgets(line, sizeof line, out)) {
      std::string text(line);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      auto eq = text.find('=');
      if (eq != std::string::npos) values[text.substr(0, eq)] = text.substr(eq + 1);
    }
    values["status"] = std::to_string(::pclose(out));
    return values;
  }

 private:
  std::filesystem::path root_;
  std::filesystem::path executable_;
};

TEST(AppIdentityTest, InsideABundleWithLocalizations) {
  TestBundle bundle({{"CFBundleName", "Demo"},
                     {"CFBundleShortVersionString", "3.1.4"},
                     {"CFBundleExecutable", "Demo"},
                     {"CFBundleIdentifier", "com.example.demo"}},
                    {{"ja", "CFBundleName = \"\xe3\x83\x87\xe3\x83\xa2\";\n"}},
                    {"en", "ja", "zh-Hant"});
  auto ja = bundle.run("ja");
  EXPECT_EQ(ja["status"], "0");
  EXPECT_EQ(ja["displayName"], "\xe3\x83\x87\xe3\x83\xa2");  // the localized name
  EXPECT_EQ(ja["language"], "ja");
  EXPECT_EQ(ja["version"], "3.1.4");
  EXPECT_EQ(ja["launchLanguage"], "Japanese");

  auto hant = bundle.run("zh_TW:zh-Hant");
  EXPECT_EQ(hant["language"], "zh-Hant");
  EXPECT_EQ(hant["launchLanguage"], "Traditional Chinese");

  auto english = bundle.run("de");  // not shipped: the development region
  EXPECT_EQ(english["language"], "en");
  EXPECT_EQ(english["displayName"], "Demo");
}

TEST(AppIdentityTest, InsideABundleWithoutLocalizations) {
  TestBundle bundle({{"CFBundleExecutable", "Demo"}, {"CFBundleName", ""},
                     {"CFBundleShortVersionString", 3}},
                    {}, {});
  auto values = bundle.run("pt_BR");
  EXPECT_EQ(values["status"], "0");
  EXPECT_EQ(values["displayName"], "Installer");  // empty name
  EXPECT_EQ(values["language"], "pt_BR");         // the locale's identifier
  EXPECT_EQ(values["version"], "");               // not a string
  EXPECT_EQ(values["launchLanguage"], "Portuguese");
}

}  // namespace
}  // namespace installer
