// Every text the program looks up exists in each shipped table, with the
// same placeholders as its English key. The keys come from the sources
// themselves: each `localized(...)` and `formatLocalized(...)` whose first
// argument is a string literal (or a named constant holding one), and each
// `action("...")`, the view model's dialog-button helper that localizes its
// title.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "platform/bundle.h"
#include "platform/strings_file.h"

namespace installer {
namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = INSTALLER_SOURCE_DIR;
const char* const kLanguages[] = {"en", "zh-Hans", "ja",    "de", "fr", "es",
                                  "pt-BR", "ko",     "zh-Hant", "ru", "it"};

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The concatenation of the C++ string literals in `text` (escapes \" and \\ only).
std::string joinLiterals(const std::string& text) {
  std::string joined;
  static const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), literal); it != std::sregex_iterator(); ++it) {
    std::string piece = (*it)[1];
    for (std::size_t i = 0; i < piece.size(); ++i) {
      if (piece[i] == '\\' && i + 1 < piece.size()) ++i;
      joined += piece[i];
    }
  }
  return joined;
}

// Keys looked up in one source file, with the place each was found.
void collectKeys(const fs::path& file, std::map<std::string, std::string>& keys) {
  std::string text = readText(file);
  static const std::regex call(R"re(\b(?:localized|formatLocalized|action)\(\s*((?:"(?:[^"\\]|\\.)*"\s*)+|k[A-Z]\w*)\s*[,)])re");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), call); it != std::sregex_iterator(); ++it) {
    std::string argument = (*it)[1];
    std::string key;
    if (argument[0] == '"') {
      key = joinLiterals(argument);
    } else {
      std::string pattern = "\\b";
      pattern.append(argument).append(R"re(\s*(?:\[\]\s*)?=\s*((?:"(?:[^"\\]|\\.)*"\s*)+);)re");
      std::regex definition(pattern);
      std::smatch match;
      ASSERT_TRUE(std::regex_search(text, match, definition))
          << file << ": the constant " << argument << " is looked up but not defined as a literal";
      key = joinLiterals(match[1]);
    }
    keys.emplace(key, file.lexically_relative(kSourceDir).string());
  }
}

std::multiset<std::string> placeholders(const std::string& text) {
  static const std::regex placeholder(R"re(%(?:\d\$)?@)re");
  std::multiset<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), placeholder); it != std::sregex_iterator(); ++it) {
    found.insert(it->str());
  }
  return found;
}

std::map<std::string, std::string> table(const std::string& language) {
  fs::path file = kSourceDir / "src/app/bundle/Resources" / (language + ".lproj") / "Localizable.strings";
  auto parsed = platform::parseStrings(readText(file));
  EXPECT_TRUE(parsed.problems.empty()) << file << ": " << parsed.problems.front();
  return parsed.entries;
}

TEST(LocalizableStringsTest, EveryLookedUpKeyIsTranslatedWithItsPlaceholders) {
  std::map<std::string, std::string> keys;
  for (const auto& entry : fs::recursive_directory_iterator(kSourceDir / "src")) {
    auto extension = entry.path().extension();
    if (extension == ".cc" || extension == ".h") collectKeys(entry.path(), keys);
  }
  ASSERT_GT(keys.size(), 10u) << "the scan found almost nothing; has the lookup been renamed?";

  for (const char* language : kLanguages) {
    auto entries = table(language);
    for (const auto& [key, where] : keys) {
      auto found = entries.find(key);
      EXPECT_NE(found, entries.end()) << language << " lacks \"" << key << "\" (used in " << where << ")";
    }
    for (const auto& [key, value] : entries) {
      EXPECT_EQ(placeholders(key), placeholders(value)) << language << ": \"" << key << "\"";
      EXPECT_FALSE(value.empty()) << language << ": \"" << key << "\"";
    }
  }
}

TEST(LocalizableStringsTest, TablesHaveTheSameKeys) {
  auto english = table("en");
  for (const char* language : kLanguages) {
    auto entries = table(language);
    std::set<std::string> a, b;
    for (const auto& [key, value] : english) a.insert(key);
    for (const auto& [key, value] : entries) b.insert(key);
    EXPECT_EQ(a, b) << language;
  }
}

TEST(LocalizableStringsTest, TheBundleShipsExactlyTheListedLanguages) {
  std::set<std::string> shipped, listed(std::begin(kLanguages), std::end(kLanguages));
  for (const auto& entry : fs::directory_iterator(kSourceDir / "src/app/bundle/Resources")) {
    if (entry.path().extension() == ".lproj") shipped.insert(entry.path().stem().string());
  }
  EXPECT_EQ(shipped, listed);
  for (const std::string& language : shipped) {
    fs::path infoPlist = kSourceDir / "src/app/bundle/Resources" / (language + ".lproj") / "InfoPlist.strings";
    EXPECT_TRUE(fs::is_regular_file(infoPlist)) << infoPlist;
    EXPECT_TRUE(platform::parseStrings(readText(infoPlist)).problems.empty()) << infoPlist;
  }
}

// French puts a space before ? ! : ; that must never break, or the mark can
// wrap onto a line of its own.
TEST(LocalizableStringsTest, FrenchMarksKeepTheirSpaceUnbreakable) {
  for (const auto& [key, value] : table("fr")) {
    for (const char* broken : {" ?", " !", " :", " ;"}) {
      EXPECT_EQ(value.find(broken), std::string::npos) << "\"" << key << "\"";
    }
  }
}

// The user's locale variables choose the table, over the shipped folders.
TEST(LocalizableStringsTest, TheLocaleChoosesTheTable) {
  const fs::path app = fs::path(::testing::TempDir()) / "strings-choice.app";
  fs::remove_all(app);
  fs::create_directories(app);
  fs::create_directory_symlink(kSourceDir / "src/app/bundle", app / "Contents");
  auto bundle = platform::Bundle::open(app);
  ASSERT_TRUE(bundle);
  const std::pair<const char*, const char*> cases[] = {
      {"pt_BR.UTF-8", "pt-BR"}, {"pt_PT.UTF-8", "pt-BR"}, {"zh_TW.UTF-8", "zh-Hant"},
      {"zh_HK", "zh-Hant"},     {"zh_CN.UTF-8", "zh-Hans"}, {"ko_KR.UTF-8", "ko"},
      {"ko", "ko"},             {"de_AT.UTF-8", "de"},      {"fr_CA.UTF-8", "fr"},
      {"es_MX.UTF-8", "es"},    {"ru_RU.UTF-8", "ru"},      {"it_IT.UTF-8", "it"},
      {"ja_JP.UTF-8", "ja"},    {"nl_NL.UTF-8", "en"},      {"C", "en"},
  };
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) ::unsetenv(name);
  for (const auto& [lang, expected] : cases) {
    ::setenv("LANG", lang, 1);
    auto preferred = bundle->preferredLocalizations(platform::userPreferredLanguages());
    ASSERT_FALSE(preferred.empty()) << lang;
    EXPECT_EQ(preferred.front(), expected) << lang;
  }
  ::unsetenv("LANG");
  fs::remove_all(app);
}

}  // namespace
}  // namespace installer
