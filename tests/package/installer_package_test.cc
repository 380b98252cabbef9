#include "package/installer_package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveEntry;
using testing::ArchiveFormat;
using testing::TempDir;
using Kind = ArchiveEntry::Kind;

std::vector<ArchiveEntry> bundleAt(const std::string& path) {
  return {{path + "/Contents/Info.plist", Kind::file, "<plist/>"},
          {path + "/Contents/MacOS/demo", Kind::file, "#!/bin/sh\n", "", 0755}};
}

class InstallerPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(testing::testHelpersDirectory().empty()) << "INSTALLER_TEST_HELPERS_DIR not set";
    tools = PackageTools::withHelpers(testing::testHelpersDirectory());
    fs::create_directories(work);
  }

  std::vector<std::string> workEntries() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(work)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // The bundle's path below its payload directory, or the failure's description.
  std::string outcome(const fs::path& pkg) {
    try {
      auto payload = unarchivePackage(pkg, work, tools);
      fs::path payloadDir = payload.applicationURL;
      while (payloadDir.parent_path() != work) payloadDir = payloadDir.parent_path();
      std::string found = payload.applicationURL.lexically_relative(payloadDir).string();
      payload.cleanup();
      return found;
    } catch (const UnarchiveError& e) {
      return e.description();
    }
  }

  TempDir dir;
  fs::path work = dir / "work";
  PackageTools tools;
};

TEST_F(InstallerPackageTest, ProductArchiveComponentsAreTriedInTheDistributionsOrder) {
  std::vector<testing::ComponentPackage> components = {
      {"Alpha", "/", bundleAt("Applications/Alpha.app")},
      {"Fonts", "/Library/Fonts", {{"Demo.ttf", Kind::file, "font"}}},
      {"Zeta App", "/Applications", bundleAt("Zeta.app")},
  };
  testing::makeProductArchive(dir / "Product.pkg", components, {"Fonts", "Zeta App", "Alpha"});
  auto payload = unarchivePackage(dir / "Product.pkg", work, tools);
  EXPECT_EQ(payload.applicationURL.filename(), "Zeta.app");
  EXPECT_TRUE(fs::exists(payload.applicationURL / "Contents/MacOS/demo"));
  EXPECT_EQ(workEntries().size(), 2u);  // the package and the winning payload only
  payload.cleanup();
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(InstallerPackageTest, ThePayloadIsSearchedThroughItsInstallLocation) {
  struct Row {
    const char* installLocation;
    std::vector<ArchiveEntry> payload;
    std::string expected;
  };
  auto both = bundleAt("Applications/Placed.app");
  auto root = bundleAt("Root.app");
  both.insert(both.end(), root.begin(), root.end());
  const std::string none = "No application found: No application found in extracted Payload";
  const std::vector<Row> rows = {
      {"/Applications", bundleAt("Demo.app"), "Demo.app"},
      {"/tmp", bundleAt("./Demo.app"), "Demo.app"},
      {"/", both, "Applications/Placed.app"},
      {"", bundleAt("Applications/Demo.app"), "Applications/Demo.app"},
      {"/Applications/Utilities/", bundleAt("Tools/Tool.app"), "Tools/Tool.app"},
      {"/opt", bundleAt("a/b/c/Deep.app"), none},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.installLocation);
    testing::makeInstallerPackage(dir / "C.pkg", row.payload, testing::PayloadNaming::gzippedAsPayload,
                                  {{"PackageInfo", Kind::file, testing::packageInfo(row.installLocation)}});
    EXPECT_EQ(outcome(dir / "C.pkg"), row.expected);
    EXPECT_TRUE(workEntries().empty());
  }
}

// Older packaging tools install a component into the bundle itself; its
// payload then has no ".app" entry at all.
TEST_F(InstallerPackageTest, AnInstallLocationInsideABundleFormsThatBundle) {
  const std::vector<ArchiveEntry> contents = {{"Info.plist", Kind::file, "<plist/>"},
                                              {"MacOS/demo", Kind::file, "#!/bin/sh\n", "", 0755},
                                              {"Resources/icon.icns", Kind::file, "icon"}};
  std::vector<ArchiveEntry> whole;
  for (const auto& entry : contents) whole.push_back({"Contents/" + entry.path, entry.kind, entry.data, "", entry.mode});
  struct Row {
    const char* installLocation;
    std::vector<ArchiveEntry> payload;
  };
  const std::vector<Row> rows = {{"/Applications/Name.app/Contents", contents}, {"/Applications/Name.app", whole}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.installLocation);
    testing::makeProductArchive(dir / "Product.pkg",
                                {{"Resources", "/Applications/Name.app/Contents/Resources", {{"extra", Kind::file, "x"}}},
                                 {"App", row.installLocation, row.payload}},
                                {"Resources", "App"});
    auto payload = unarchivePackage(dir / "Product.pkg", work, tools);
    EXPECT_EQ(payload.applicationURL.filename(), "Name.app");
    EXPECT_EQ(testing::readFile(payload.applicationURL / "Contents/MacOS/demo"), "#!/bin/sh\n");
    EXPECT_TRUE(fs::exists(payload.applicationURL / "Contents/Resources/icon.icns"));
    payload.cleanup();
    EXPECT_TRUE(workEntries().empty());
  }
}

TEST_F(InstallerPackageTest, PayloadsInEveryCompressionGetTheSameChecks) {
  fs::path outside = dir / "outside";
  fs::create_directories(outside);
  auto good = bundleAt("Applications/Demo.app");
  auto hostile = good;
  hostile.push_back({"Applications/link", Kind::symlink, "", outside.string()});
  hostile.push_back({"Applications/link/planted", Kind::file, "bad"});
  for (const char* compress : {"gzip", "bzip2", "xz"}) {
    for (bool bad : {false, true}) {
      SCOPED_TRACE(std::string(compress) + (bad ? " hostile" : ""));
      testing::writeArchive(dir / "payload", ArchiveFormat::cpioOdc, bad ? hostile : good);
      std::string command = std::string(compress) + " -c '" + (dir / "payload").string() + "' > '" +
                            (dir / "payload.z").string() + "'";
      ASSERT_EQ(std::system(command.c_str()), 0);
      testing::writeArchive(dir / "Z.pkg", ArchiveFormat::xar,
                            {{"PackageInfo", Kind::file, testing::packageInfo("/")},
                             {"Payload", Kind::file, testing::readFile(dir / "payload.z")}});
      EXPECT_EQ(outcome(dir / "Z.pkg"),
                bad ? "extract failed: Failed to extract Payload" : "Applications/Demo.app");
      EXPECT_TRUE(workEntries().empty());
      EXPECT_TRUE(fs::is_empty(outside));
    }
  }
}

TEST_F(InstallerPackageTest, LinkedBundlesAndPlacesAreNeverHandedOver) {
  fs::path outside = dir / "outside";
  testing::writeAppBundle(outside, "Evil.app");
  const std::vector<std::vector<ArchiveEntry>> payloads = {
      {{"Applications", Kind::symlink, "", outside.string()}},
      {{"Applications/Evil.app", Kind::symlink, "", (outside / "Evil.app").string()}},
      {{"Evil.app", Kind::symlink, "", (outside / "Evil.app").string()}},
      {{"Applications/Evil.app/Contents", Kind::symlink, "", (outside / "Evil.app/Contents").string()}},
  };
  for (const auto& payload : payloads) {
    SCOPED_TRACE(payload.front().path);
    testing::makeInstallerPackage(dir / "L.pkg", payload);
    EXPECT_EQ(outcome(dir / "L.pkg"), "No application found: No application found in extracted Payload");
    EXPECT_TRUE(workEntries().empty());
  }
  EXPECT_TRUE(fs::exists(outside / "Evil.app/Contents/MacOS/demo"));
}

TEST(InstallerPackageDocuments, DistributionNamesOnlyPlainComponentsAndBadDocumentsNameNone) {
  const std::string distribution = R"(<?xml version="1.0"?>
<installer-gui-script>
  <choice id="b"><pkg-ref id="com.b"/></choice>
  <pkg-ref id="com.a">#A%20App.pkg</pkg-ref>
  <pkg-ref id="com.b">#B.pkg</pkg-ref>
  <pkg-ref id="com.up">#..</pkg-ref>
  <pkg-ref id="com.slash">#x%2Fy.pkg</pkg-ref>
  <pkg-ref id="com.file">file:./C.pkg</pkg-ref>
  <pkg-ref id="com.b">#B-again.pkg</pkg-ref>
</installer-gui-script>)";
  EXPECT_EQ(parseDistributionComponents(distribution), (std::vector<std::string>{"B.pkg", "A App.pkg"}));
  EXPECT_TRUE(parseDistributionComponents("<installer-gui-script><pkg-ref").empty());
  EXPECT_TRUE(parseDistributionComponents(R"(<!DOCTYPE x [<!ENTITY e SYSTEM "file:///etc/passwd">]>
<x><pkg-ref id="a">#&e;</pkg-ref></x>)").empty());

  EXPECT_EQ(parseInstallLocation(testing::packageInfo("/tmp/")), fs::path("/tmp"));
  EXPECT_EQ(parseInstallLocation(testing::packageInfo("")), fs::path("/"));
  EXPECT_EQ(parseInstallLocation("<pkg-info install-location='Applications/../x'/>"), fs::path("/x"));
  EXPECT_EQ(parseInstallLocation("<other/>"), std::nullopt);
  EXPECT_EQ(parseInstallLocation("not xml"), std::nullopt);
}

}  // namespace
}  // namespace installer
