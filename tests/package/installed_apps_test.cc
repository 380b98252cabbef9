#include "package/installed_apps.h"

#include <gtest/gtest.h>

#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::AppBundleSpec;
using testing::TempDir;

AppBundleSpec bundle(const std::string& id, std::optional<std::string> version) {
  AppBundleSpec layout;
  layout.identifier = id;
  layout.shortVersion = std::move(version);
  return layout;
}

TEST(VersionTest, NumericVersionsComparePositionByPosition) {
  EXPECT_TRUE(isNewerVersion("1.10", "1.9"));
  EXPECT_FALSE(isNewerVersion("1.9", "1.10"));
  EXPECT_FALSE(isNewerVersion("1.2", "1.2.0"));
  EXPECT_FALSE(isNewerVersion("1.2.0", "1.2"));
  EXPECT_TRUE(isNewerVersion("2", "1.9.9"));
  EXPECT_TRUE(isNewerVersion("1..3", "1.2"));  // empty pieces are dropped
  EXPECT_FALSE(isNewerVersion("1.0", "1.0.1"));
}

TEST(VersionTest, OtherTextsFallBackToNumericTextOrder) {
  EXPECT_TRUE(isNewerVersion("1.0b2", "1.0b1"));
  EXPECT_TRUE(isNewerVersion("1.0b10", "1.0b9"));
  EXPECT_FALSE(isNewerVersion("", "1"));
  EXPECT_LT(compareNumericText("a2", "a10"), 0);
  EXPECT_EQ(compareNumericText("1.01", "1.1"), 0);
  EXPECT_LT(compareNumericText("abc", "abd"), 0);
  EXPECT_GT(compareNumericText("1.0.1", "1.0"), 0);
  EXPECT_LT(compareNumericText("99999999999999999999", "100000000000000000000"), 0);
}

TEST(VersionTest, UpdateAvailability) {
  EXPECT_FALSE(isUpdateAvailable(std::nullopt, "1.0"));
  EXPECT_FALSE(isUpdateAvailable(" \t\n ", "1.0"));
  EXPECT_FALSE(isUpdateAvailable("", "1.0"));
  EXPECT_TRUE(isUpdateAvailable(" 2.0\n", "1.0"));
  EXPECT_FALSE(isUpdateAvailable("1.0", "1.0.0"));
}

TEST(InstalledApplicationTest, VersionOfABundle) {
  TempDir dir;
  EXPECT_EQ(installedVersion(testing::writeAppBundle(dir.path(), "A.app", bundle("a", "3.1"))), "3.1");
  EXPECT_EQ(installedVersion(testing::writeAppBundle(dir.path(), "B.app", bundle("b", std::nullopt))), "0.0.0");
  EXPECT_EQ(installedVersion(dir / "Missing.app"), "0.0.0");
}

TEST(InstalledApplicationTest, SearchOrderIdentifierAndMinimumVersion) {
  TempDir dir;
  fs::path extra = dir / "extra", sys = dir / "Applications", user = dir / "home/Applications",
           utils = dir / "Applications/Utilities";
  testing::writeAppBundle(extra, "Other.app", bundle("com.example.other", "9"));
  testing::writeAppBundle(extra, ".Hidden.app", bundle("com.example.demo", "9"));
  testing::writeAppBundle(extra, "NoVersion.app", bundle("com.example.demo", std::nullopt));
  testing::writeAppBundle(sys, "Old.app", bundle("com.example.demo", "0.9"));
  testing::writeAppBundle(user, "Demo.APP", bundle("com.example.demo", "1.10"));
  testing::writeAppBundle(utils, "Case.app", bundle("COM.EXAMPLE.DEMO", "5"));
  testing::writeFile(sys / "Plain.app", "not a bundle");
  std::vector<fs::path> standard = {sys, user, utils};

  EXPECT_EQ(findInstalledApplication("com.example.demo", std::nullopt, {extra}, standard),
            extra / "NoVersion.app");
  EXPECT_EQ(findInstalledApplication("com.example.demo", "", {extra}, standard), extra / "NoVersion.app");
  // A bundle without a version counts as 0.0.0; 0.9 is too old; 1.10 >= 1.9.
  EXPECT_EQ(findInstalledApplication("com.example.demo", "1.9", {extra}, standard), user / "Demo.APP");
  EXPECT_EQ(findInstalledApplication("com.example.demo", "1.11", {extra}, standard), std::nullopt);
  EXPECT_EQ(findInstalledApplication("COM.EXAMPLE.DEMO", std::nullopt, {dir / "missing"}, standard),
            utils / "Case.app");
  EXPECT_EQ(findInstalledApplication("", std::nullopt, {extra}, standard), std::nullopt);
  EXPECT_EQ(findInstalledApplication("com.example.none", std::nullopt, {extra}, standard), std::nullopt);
}

}  // namespace
}  // namespace installer
