#include "platform/bundle.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

namespace installer::platform {
namespace {

namespace fs = std::filesystem;

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "bundle-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    app_ = root_ / "Installer.app";
    fs::create_directories(app_ / "Contents" / "MacOS");
    fs::create_directories(app_ / "Contents" / "Resources");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(app_ / "Contents" / "Info.plist", fs::perms::owner_all,
                    fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }

  void writeFile(const fs::path& relative, const std::string& bytes) {
    fs::path file = app_ / relative;
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << bytes;
  }

  void writeStrings(const std::string& lproj, const std::string& table, const std::string& text) {
    writeFile(fs::path("Contents/Resources") / (lproj + ".lproj") / table, text);
  }

  fs::path root_;
  fs::path app_;
};

TEST_F(BundleTest, ReadsXmlInfoAndLocalizedOverrides) {
  ASSERT_TRUE(writeXmlPlist(app_ / "Contents" / "Info.plist",
                            PlistDict{{"CFBundleIdentifier", "com.example.installer"},
                                      {"CFBundleName", "Example"},
                                      {"CFBundleShortVersionString", "1.2.3"},
                                      {"CFBundleExecutable", "Installer"},
                                      {"ProductPage", "https://example.com/en"},
                                      {"Number", 7}}));
  writeStrings("en", "Localizable.strings", "\"Install\" = \"Install\";");
  writeStrings("de", "Localizable.strings", "\"Install\" = \"Installieren\";");
  writeStrings("de", "InfoPlist.strings", "\"ProductPage\" = \"https://example.com/de\";");
  writeStrings("Base", "Localizable.strings", "");
  writeFile("Contents/Resources/notes.txt", "not a localization");

  auto bundle = Bundle::open(app_);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->path(), app_);
  EXPECT_EQ(bundle->identifier(), "com.example.installer");
  EXPECT_EQ(bundle->name(), "Example");
  EXPECT_EQ(bundle->shortVersion(), "1.2.3");
  EXPECT_EQ(bundle->executablePath(), app_ / "Contents" / "MacOS" / "Installer");
  EXPECT_EQ(bundle->helpersPath(), app_ / "Contents" / "Helpers");
  EXPECT_EQ(bundle->localizations(), (std::vector<std::string>{"de", "en"}));
  EXPECT_EQ(bundle->lookup("Number"), PlistValue(7));
  EXPECT_EQ(bundle->lookup("Missing"), std::nullopt);

  ::setenv("LANGUAGE", "de_DE", 1);
  EXPECT_EQ(bundle->lookup("ProductPage"), PlistValue("https://example.com/de"));
  EXPECT_EQ(bundle->localizedString("Install"), "Installieren");
  EXPECT_EQ(bundle->localizedString("Untranslated"), "Untranslated");
  ::setenv("LANGUAGE", "fr", 1);
  ::setenv("LC_ALL", "C", 1);
  EXPECT_EQ(bundle->lookup("ProductPage"), PlistValue("https://example.com/en"));
  EXPECT_EQ(bundle->localizedString("Install"), "Install");
  ::unsetenv("LANGUAGE");
  ::unsetenv("LC_ALL");
}

TEST_F(BundleTest, ReadsBinaryInfoPlist) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "CFBundleIdentifier", plist_new_string("com.example.binary"));
  plist_dict_set_item(root, "MinimumSystemVersion", plist_new_uint(static_cast<uint64_t>(-1)));
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bin, &length);
  writeFile("Contents/Info.plist", std::string(bin, length));
  plist_to_bin_free(bin);
  plist_free(root);

  auto bundle = Bundle::open(app_);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->identifier(), "com.example.binary");
  EXPECT_EQ(bundle->lookup("MinimumSystemVersion"), PlistValue(-1));
  EXPECT_TRUE(bundle->localizations().empty());
  EXPECT_TRUE(bundle->preferredLocalizations({"en"}).empty());
  EXPECT_EQ(bundle->localizedString("Key"), "Key");
}

TEST_F(BundleTest, BadInputGivesDefaultsNotFailures) {
  EXPECT_FALSE(Bundle::open(root_ / "Missing.app"));

  // No Info.plist at all.
  auto empty = Bundle::open(app_);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->infoDictionary().empty());
  EXPECT_EQ(empty->identifier(), "");
  EXPECT_EQ(empty->executablePath(), std::nullopt);

  // Wrong shape: an array root, wrong value kinds, a hostile executable name.
  writeFile("Contents/Info.plist", "<plist version=\"1.0\"><array><string>x</string></array></plist>");
  EXPECT_TRUE(Bundle::open(app_)->infoDictionary().empty());
  ASSERT_TRUE(writeXmlPlist(app_ / "Contents" / "Info.plist",
                            PlistDict{{"CFBundleIdentifier", 12}, {"CFBundleExecutable", "../x"}}));
  EXPECT_EQ(Bundle::open(app_)->identifier(), "");
  EXPECT_EQ(Bundle::open(app_)->executablePath(), std::nullopt);

  // Garbage and unreadable files.
  writeFile("Contents/Info.plist", std::string("\x00\x01garbage", 9));
  EXPECT_TRUE(Bundle::open(app_)->infoDictionary().empty());
  if (::geteuid() != 0) {
    ASSERT_TRUE(writeXmlPlist(app_ / "Contents" / "Info.plist", PlistDict{{"A", "b"}}));
    ::chmod((app_ / "Contents" / "Info.plist").c_str(), 0);
    EXPECT_TRUE(Bundle::open(app_)->infoDictionary().empty());
  }

  // Broken and UTF-16 string tables: readable entries survive.
  writeStrings("en", "Localizable.strings", "\"Good\" = \"Yes\";\n\"Bad\" = \"No\"\n\"Fine\" = \"Ok\";");
  writeStrings("fr", "Localizable.strings", std::string("\xFF\xFE\"\0G\0\"\0", 8));
  auto bundle = Bundle::open(app_);
  ASSERT_TRUE(bundle);
  ::setenv("LANGUAGE", "fr:en", 1);
  EXPECT_EQ(bundle->localizedString("Good"), "Yes");
  EXPECT_EQ(bundle->localizedString("Fine"), "Ok");
  EXPECT_EQ(bundle->localizedString("Bad"), "Bad");
  ::unsetenv("LANGUAGE");
}

TEST_F(BundleTest, PreferredLocalizationsFollowTheUserLanguages) {
  for (const char* lproj : {"en", "de", "pt", "zh-Hans", "zh-Hant", "fr_CA"}) {
    writeStrings(lproj, "Localizable.strings", "");
  }
  ASSERT_TRUE(writeXmlPlist(app_ / "Contents" / "Info.plist",
                            PlistDict{{"CFBundleDevelopmentRegion", "de"}}));
  auto bundle = Bundle::open(app_);
  ASSERT_TRUE(bundle);
  using V = std::vector<std::string>;
  EXPECT_EQ(bundle->preferredLocalizations({"pt-BR", "en"}), (V{"pt", "en"}));
  EXPECT_EQ(bundle->preferredLocalizations({"zh-Hans-CN"}), (V{"zh-Hans"}));
  EXPECT_EQ(bundle->preferredLocalizations({"zh-Hant-TW", "zh-Hans"}), (V{"zh-Hant", "zh-Hans"}));
  EXPECT_EQ(bundle->preferredLocalizations({"fr-CA"}), (V{"fr_CA"}));
  EXPECT_EQ(bundle->preferredLocalizations({"EN-us", "en"}), (V{"en"}));
  EXPECT_EQ(bundle->preferredLocalizations({"fr", "en"}), (V{"fr_CA", "en"}));  // same language
  // Nothing matches: the development region, else the first shipped.
  EXPECT_EQ(bundle->preferredLocalizations({"ja"}), (V{"de"}));
  EXPECT_EQ(bundle->preferredLocalizations({}), (V{"de"}));
  ASSERT_TRUE(writeXmlPlist(app_ / "Contents" / "Info.plist",
                            PlistDict{{"CFBundleDevelopmentRegion", "ko"}}));
  EXPECT_EQ(Bundle::open(app_)->preferredLocalizations({"ja"}), (V{"de"}));
}

TEST(UserLanguagesTest, ReadsTheLocaleVariablesInOrder) {
  ::setenv("LANGUAGE", "pt_BR:fr::de", 1);
  ::setenv("LC_ALL", "", 1);
  ::setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
  ::setenv("LANG", "en_US.UTF-8@euro", 1);
  EXPECT_EQ(userPreferredLanguages(),
            (std::vector<std::string>{"pt-BR", "fr", "de", "zh-Hans-CN", "en-US"}));
  ::setenv("LANGUAGE", "", 1);
  ::setenv("LC_MESSAGES", "C", 1);
  ::setenv("LANG", "POSIX", 1);
  EXPECT_TRUE(userPreferredLanguages().empty());
  ::setenv("LANG", "zh_TW", 1);
  EXPECT_EQ(userPreferredLanguages(), (std::vector<std::string>{"zh-Hant-TW"}));
  ::unsetenv("LANGUAGE");
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  ::unsetenv("LANG");
}

TEST(MainBundleTest, TestProgramHasAPlaceholderBundle) {
  const Bundle& main = Bundle::main();
  EXPECT_EQ(&main, &Bundle::main());
  EXPECT_TRUE(main.path().empty());
  EXPECT_TRUE(main.infoDictionary().empty());
  EXPECT_EQ(main.localizedString("Install"), "Install");
}

}  // namespace
}  // namespace installer::platform
