#include "platform/localization.h"

#include <gtest/gtest.h>

namespace installer::platform {
namespace {

TEST(LocalizationTest, OverrideTableAndMissingKeys) {
  EXPECT_EQ(localized("Install"), "Install");  // no bundle: the key itself
  {
    ScopedLocalizationOverride table(std::map<std::string, std::string>{{"Install", "Installieren"}});
    EXPECT_EQ(localized("Install"), "Installieren");
    EXPECT_EQ(localized("Cancel"), "Cancel");
    EXPECT_EQ(localized("Quit|running app"), "Quit");  // the note never shows
  }
  EXPECT_EQ(localized("Install"), "Install");
}

TEST(LocalizationTest, FormatFillsPlaceholders) {
  EXPECT_EQ(formatLocalized("Install %@", "App"), "Install App");
  EXPECT_EQ(formatLocalized("%@ of %@", "1 MB", "2 MB"), "1 MB of 2 MB");
  EXPECT_EQ(formatLocalized("%2$@ / %1$@", "a", "b"), "b / a");
  EXPECT_EQ(formatLocalized("%1$@ and %1$@", "x"), "x and x");
  EXPECT_EQ(formatLocalized("100%% %d %", "x"), "100% %d %");
  EXPECT_EQ(formatLocalized("no placeholders", "x"), "no placeholders");
  // Arguments are not themselves scanned for placeholders.
  EXPECT_EQ(formatLocalized("%@ %@", "%@", "y"), "%@ y");
}

}  // namespace
}  // namespace installer::platform
