#include "platform/plist.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace installer::platform {
namespace {

std::string binaryPlist(plist_t root) {
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bin, &length);
  std::string bytes(bin, length);
  plist_to_bin_free(bin);
  plist_free(root);
  return bytes;
}

const char* kXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.example.app</string>
  <key>Count</key><integer>42</integer>
  <key>Negative</key><integer>-1</integer>
  <key>Min</key><integer>-9223372036854775808</integer>
  <key>Ratio</key><real>2.5</real>
  <key>Enabled</key><true/>
  <key>Disabled</key><false/>
  <key>When</key><date>2001-01-02T00:00:00Z</date>
  <key>Blob</key><data>AAEC/w==</data>
  <key>List</key><array><string>a</string><integer>1</integer></array>
  <key>Nested</key><dict><key>Inner</key><string>ü &amp; 中</string></dict>
</dict>
</plist>
)";

TEST(PlistTest, ReadsEveryKindFromXml) {
  std::string error;
  auto dict = parsePlistDict(kXml, &error);
  ASSERT_TRUE(dict) << error;
  EXPECT_EQ(dict->at("CFBundleIdentifier"), PlistValue("com.example.app"));
  EXPECT_EQ(dict->at("Count"), PlistValue(42));
  EXPECT_EQ(dict->at("Negative"), PlistValue(-1));
  EXPECT_EQ(dict->at("Min").integerValue(), INT64_MIN);
  EXPECT_EQ(dict->at("Ratio"), PlistValue(2.5));
  EXPECT_TRUE(dict->at("Enabled").isBool());
  EXPECT_EQ(dict->at("Enabled").numberValue(), 1.0);
  EXPECT_EQ(dict->at("Disabled"), PlistValue(false));
  EXPECT_EQ(dict->at("When"), PlistValue(PlistDate{86400}));
  EXPECT_EQ(dict->at("Blob"), PlistValue(PlistData{{0, 1, 2, 255}}));
  EXPECT_EQ(dict->at("List"), PlistValue(PlistArray{"a", 1}));
  EXPECT_EQ(dict->at("Nested").dict()->at("Inner"), PlistValue("ü & 中"));
}

TEST(PlistTest, ReadsBinaryListsWithSignedIntegers) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "Name", plist_new_string("Bin"));
  plist_dict_set_item(root, "Minus", plist_new_uint(static_cast<uint64_t>(-5)));
  plist_dict_set_item(root, "Big", plist_new_uint(1ull << 40));
  plist_dict_set_item(root, "Real", plist_new_real(-0.25));
  plist_dict_set_item(root, "Flag", plist_new_bool(1));
  std::string error;
  auto dict = parsePlistDict(binaryPlist(root), &error);
  ASSERT_TRUE(dict) << error;
  EXPECT_EQ(dict->at("Name"), PlistValue("Bin"));
  EXPECT_EQ(dict->at("Minus"), PlistValue(-5));
  EXPECT_EQ(dict->at("Big"), PlistValue(std::int64_t{1} << 40));
  EXPECT_EQ(dict->at("Real"), PlistValue(-0.25));
  EXPECT_EQ(dict->at("Flag"), PlistValue(true));
}

TEST(PlistTest, RejectsBadInputWithAReason) {
  std::string error;
  EXPECT_FALSE(parsePlistDict("", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(parsePlistDict("not a plist at all", &error));
  EXPECT_FALSE(parsePlistDict("<plist><dict><key>a</key>", &error));
  EXPECT_FALSE(parsePlistDict("bplist00\x01\x02", &error));
  // A root of another kind.
  EXPECT_FALSE(parsePlistDict("<plist version=\"1.0\"><array/></plist>", &error));
  EXPECT_NE(error.find("not a dictionary"), std::string::npos);
  EXPECT_FALSE(readPlistDict("/nonexistent/Info.plist", &error));
  EXPECT_NE(error.find("/nonexistent/Info.plist"), std::string::npos);
  // Deep nesting is refused, not recursed into without bound.
  std::string deep = "<plist version=\"1.0\"><dict><key>k</key>";
  for (int i = 0; i < 1000; ++i) deep += "<array>";
  for (int i = 0; i < 1000; ++i) deep += "</array>";
  deep += "</dict></plist>";
  (void)parsePlistDict(deep, &error);  // must not crash; either outcome is fine
}

TEST(PlistTest, NumberConversions) {
  EXPECT_EQ(PlistValue(3.9).integerValue(), 3);
  EXPECT_EQ(PlistValue(-3.9).integerValue(), -3);
  EXPECT_EQ(PlistValue(1e300).integerValue(), INT64_MAX);
  EXPECT_EQ(PlistValue(-1e300).integerValue(), INT64_MIN);
  EXPECT_EQ(PlistValue(true).integerValue(), 1);
  EXPECT_EQ(PlistValue("7").integerValue(), std::nullopt);
  EXPECT_EQ(PlistValue("7").numberValue(), std::nullopt);
  EXPECT_FALSE(PlistValue(true).isInteger());
  EXPECT_TRUE(PlistValue(true).isNumber());
}

TEST(PlistTest, WriteXmlRoundTrips) {
  PlistDict dict{{"S", "text <&>"},
                 {"I", -12},
                 {"R", 0.5},
                 {"B", true},
                 {"D", PlistData{{1, 2, 3}}},
                 {"T", PlistDate{3600}},
                 {"A", PlistArray{1, "x"}},
                 {"N", PlistDict{{"k", "v"}}}};
  char name[] = "/tmp/plist-test-XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_TRUE(writeXmlPlist(name, dict));
  std::string error;
  auto back = readPlistDict(name, &error);
  std::remove(name);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, dict);
}

TEST(PlistTest, FuzzCorpusInputsParseOrFailCleanly) {
  // Includes binary lists whose dictionary keys are not strings or hold a
  // NUL character; libplist 2.2 aborts on those unless they are refused.
  int replayed = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(FUZZ_CORPUS_DIR) + "/plist_fuzz")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    std::string error;
    auto dict = parsePlistDict(bytes.str(), &error);
    bool isCrash = entry.path().filename().string().rfind("crash-", 0) == 0;
    if (isCrash) {
      EXPECT_FALSE(dict) << entry.path();
    } else {
      EXPECT_TRUE(dict) << entry.path() << ": " << error;
    }
    ++replayed;
  }
  EXPECT_GE(replayed, 4);
}

TEST(PlistTest, DictKeyValueSourceLooksUpKeys) {
  DictKeyValueSource source(PlistDict{{"a", 1}});
  EXPECT_EQ(source.lookup("a"), PlistValue(1));
  EXPECT_EQ(source.lookup("b"), std::nullopt);
}

}  // namespace
}  // namespace installer::platform
