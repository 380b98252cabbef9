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

#include "platform/strings_file.h"

namespace installer {
namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = INSTALLER_SOURCE_DIR;
const char* const kLanguages[] = {"en", "zh-Hans", "ja"};

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

}  // namespace
}  // namespace installer
