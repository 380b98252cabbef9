#include "platform/locale_info.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace installer::platform {
namespace {

TEST(LocaleInfoTest, NamesRegionsAndLanguagesInEnglish) {
  EXPECT_EQ(regionDisplayNameEnglish("US"), "United States");
  EXPECT_EQ(regionDisplayNameEnglish("DE"), "Germany");
  EXPECT_EQ(regionDisplayNameEnglish(""), "");
  EXPECT_EQ(regionDisplayNameEnglish("QQ"), "");
  EXPECT_EQ(regionDisplayNameEnglish("not a code"), "");
  EXPECT_EQ(languageDisplayNameEnglish("sv"), "Swedish");
  EXPECT_EQ(languageDisplayNameEnglish("zh"), "Chinese");
  EXPECT_EQ(languageDisplayNameEnglish("xx"), "");
  EXPECT_EQ(languageDisplayNameEnglish(""), "");
}

TEST(LocaleInfoTest, CurrentLocaleFollowsTheUserLanguage) {
  ::setenv("LANGUAGE", "pt_BR", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "pt_BR");
  EXPECT_EQ(currentRegionCode(), "BR");
  ::setenv("LANGUAGE", "zh_CN", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "zh_Hans_CN");
  ::setenv("LANGUAGE", "sv", 1);
  EXPECT_EQ(currentRegionCode(), "");
  ::unsetenv("LANGUAGE");
  EXPECT_FALSE(currentLocaleIdentifier().empty());
}

TEST(LocaleInfoTest, TimeZoneStandardName) {
  // ICU reads TZ when it first needs the default zone, which is here.
  ::setenv("TZ", "Europe/Berlin", 1);
  EXPECT_EQ(timeZoneStandardNameEnglish(), "Central European Standard Time");
}

}  // namespace
}  // namespace installer::platform
