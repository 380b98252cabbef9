#include "platform/strings_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace installer::platform {
namespace {

using Entries = std::map<std::string, std::string>;

TEST(StringsFileTest, ParsesQuotedUnquotedEscapesAndComments) {
  const std::string text =
      "\xEF\xBB\xBF/* A header comment\n   over two lines */\n"
      "\"Install\" = \"Installer\";  // trailing comment\n"
      "// \"Commented\" = \"out\";\n"
      "\"Quote \\\"x\\\"\" = \"Back\\\\slash\\nnew\\tline\";\n"
      "plainKey = plainValue;\n"
      "dotted.key-1 = \"v\";\n"
      "\"Unicode\" = \"\\U00e9\\u4e2d\\UD83D\\UDE00\";\n"
      "\"Self\";\n"
      "\"Multi\nline\" = \"raw\nnewline\";\n"
      "\"Semi;colon\" = \"a;b\"/*c*/;\n"
      "\"Empty\" = \"\";\n"
      "\"Install\" = \"Later wins\";\n";
  StringsParseResult result = parseStrings(text);
  EXPECT_TRUE(result.problems.empty()) << result.problems.front();
  EXPECT_EQ(result.entries, (Entries{
                                {"Install", "Later wins"},
                                {"Quote \"x\"", "Back\\slash\nnew\tline"},
                                {"plainKey", "plainValue"},
                                {"dotted.key-1", "v"},
                                {"Unicode", "é中😀"},
                                {"Self", "Self"},
                                {"Multi\nline", "raw\nnewline"},
                                {"Semi;colon", "a;b"},
                                {"Empty", ""},
                            }));
}

TEST(StringsFileTest, RecoversAfterBrokenEntries) {
  const std::string text =
      "\"a\" = \"1\"\n"          // missing ';': dropped, next entry still read
      "\"b\" = \"2\";\n"
      "\"c\" \"3\";\n"           // missing '='
      "\"d\" = ;\n"              // missing value
      "= \"stray\";\n"           // no key
      "\"e\" = \"5\";\n";
  StringsParseResult result = parseStrings(text);
  EXPECT_EQ(result.entries, (Entries{{"b", "2"}, {"e", "5"}}));
  ASSERT_EQ(result.problems.size(), 4u);
  EXPECT_EQ(result.problems[0], "line 1: expected ';'");
  EXPECT_EQ(result.problems[1].rfind("line 3:", 0), 0u);
  EXPECT_EQ(result.problems[2].rfind("line 4:", 0), 0u);
  EXPECT_EQ(result.problems[3].rfind("line 5:", 0), 0u);
}

TEST(StringsFileTest, TruncatedInputGivesAProblemNotACrash) {
  const std::string full = "\"key\" = \"value with \\U00e9scape\"; /* done */";
  for (std::size_t n = 0; n < full.find(';'); ++n) {  // stops before the ';'
    StringsParseResult result = parseStrings(full.substr(0, n));
    EXPECT_TRUE(result.entries.empty()) << n;
  }
  EXPECT_EQ(parseStrings(full).entries.size(), 1u);
  StringsParseResult open = parseStrings("\"a\" = \"unterminated");
  ASSERT_EQ(open.problems.size(), 1u);
  EXPECT_NE(open.problems[0].find("unterminated string"), std::string::npos);
  EXPECT_EQ(parseStrings("\"a\" = \"b\"; /* open comment").problems.size(), 1u);
  EXPECT_EQ(parseStrings("\"a\" = \"\\").problems.size(), 1u);
  EXPECT_EQ(parseStrings("\"a\" = \"\\U12\";").entries.at("a"), "U12");
}

TEST(StringsFileTest, Utf16InputGivesNoEntriesAndOneProblem) {
  const std::string le("\xFF\xFE\"\0a\0\"\0", 8);
  const std::string be("\xFE\xFF\0\"\0a\0\"", 8);
  const std::string noBom("\"\0a\0\"\0 \0=\0 \0\"\0b\0\"\0;\0", 20);
  for (const std::string& text : {le, be, noBom}) {
    StringsParseResult result = parseStrings(text);
    EXPECT_TRUE(result.entries.empty());
    EXPECT_EQ(result.problems.size(), 1u);
  }
}

TEST(StringsFileTest, FuzzCorpusInputsParse) {
  int replayed = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(FUZZ_CORPUS_DIR) + "/strings_fuzz")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    (void)parseStrings(bytes.str());
    ++replayed;
  }
  EXPECT_GE(replayed, 2);
}

TEST(StringsFileTest, EmptyAndCommentOnlyInputs) {
  EXPECT_TRUE(parseStrings("").entries.empty());
  EXPECT_TRUE(parseStrings("").problems.empty());
  EXPECT_TRUE(parseStrings("  // nothing\n/* here */\n").problems.empty());
}

}  // namespace
}  // namespace installer::platform
