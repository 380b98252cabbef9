#include "package/unarchiver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveEntry;
using testing::ArchiveFormat;
using testing::TempDir;
using testing::writeFile;
using Kind = ArchiveEntry::Kind;

class UnarchiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(testing::testHelpersDirectory().empty()) << "INSTALLER_TEST_HELPERS_DIR not set";
    tools = PackageTools::withHelpers(testing::testHelpersDirectory());
    tools.spctl = dir / "no-spctl";
    work = dir / "work";
    fs::create_directories(work);
  }

  // A fake tool: a shell script at dir/name.
  fs::path fakeTool(const std::string& name, const std::string& body) {
    fs::path p = dir / name;
    writeFile(p, "#!/bin/sh\n" + body + "\n", 0755);
    return p;
  }

  std::vector<std::string> workEntries() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(work)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  UnarchiveError expectError(const fs::path& archive) {
    try {
      unarchivePackage(archive, work, tools);
    } catch (const UnarchiveError& e) {
      return e;
    }
    ADD_FAILURE() << "no UnarchiveError for " << archive;
    return UnarchiveError(UnarchiveError::Case::unsupported, "");
  }

  TempDir dir;
  fs::path work;
  PackageTools tools;
};

bool isExecutable(const fs::path& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && (st.st_mode & S_IXUSR);
}

// --- format selection -----------------------------------------------------

TEST_F(UnarchiverTest, RejectsUnknownExtensionsWithTheLowerCasedExtension) {
  auto e = expectError(dir / "App.TAR");
  EXPECT_EQ(e.kind(), UnarchiveError::Case::unsupported);
  EXPECT_STREQ(e.what(), "unsupported package format: tar");
  EXPECT_STREQ(expectError(dir / "App").what(), "unsupported package format: ");
  EXPECT_TRUE(workEntries().empty());
}

// --- disk images ------------------------------------------------------------

TEST_F(UnarchiverTest, DiskImageIsAttachedSearchedAndDetached) {
  fs::path vol = dir / "vol";
  testing::writeAppBundle(vol, "Demo.app");
  fs::create_symlink("Demo.app/Contents", vol / "Shortcut");
  testing::makeDiskImage(vol, "Demo", dir / "Demo.DMG");  // capitals: still an image

  auto payload = unarchivePackage(dir / "Demo.DMG", work, tools);
  EXPECT_EQ(payload.applicationURL.filename(), "Demo.app");
  fs::path mount = payload.applicationURL.parent_path();
  EXPECT_EQ(mount.parent_path(), work);
  EXPECT_EQ(mount.filename().string().rfind("mnt-", 0), 0u);
  EXPECT_EQ(mount.filename().string().size(), 4u + 36u);
  EXPECT_TRUE(isExecutable(payload.applicationURL / "Contents/MacOS/demo"));
  EXPECT_TRUE(fs::is_symlink(mount / "Shortcut"));
  EXPECT_EQ(fs::read_symlink(mount / "Shortcut"), "Demo.app/Contents");
  EXPECT_TRUE(fs::is_symlink(payload.applicationURL / "Contents/Current"));

  payload.cleanup();
  EXPECT_FALSE(fs::exists(mount));
  payload.cleanup();  // harmless the second time
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(UnarchiverTest, ImageWithoutBundleIsDetachedAndReported) {
  fs::path vol = dir / "vol";
  writeFile(vol / "README", "no app here");
  testing::makeDiskImage(vol, "Empty", dir / "Empty.dmg");
  auto e = expectError(dir / "Empty.dmg");
  EXPECT_EQ(e.kind(), UnarchiveError::Case::noApplicationFound);
  EXPECT_NE(std::string(e.what()).find("Couldn't enumerate contents of archive mounted at " + work.string() + "/mnt-"),
            std::string::npos);
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(UnarchiverTest, AttachFailureCarriesStatusAndOutput) {
  tools.hdiutil = fakeTool("hdiutil", "echo \"attach: $1 $2 $3 $4 $5 $6\"; exit 1");
  auto e = expectError(dir / "x.dmg");
  EXPECT_EQ(e.kind(), UnarchiveError::Case::mountFailed);
  std::string expected = "Can't mount DMG: hdiutil failed with code: 1 data: <<attach: attach " +
                         (dir / "x.dmg").string() + " -nobrowse -noautoopen -noverify -mountpoint\n>>";
  EXPECT_EQ(e.description(), expected);
  auto entries = workEntries();
  ASSERT_EQ(entries.size(), 1u);  // the empty mount point stays
  EXPECT_EQ(entries[0].rfind("mnt-", 0), 0u);
}

TEST_F(UnarchiverTest, TheRealStandInRefusesSomethingThatIsNoImage) {
  writeFile(dir / "garbage.dmg", std::string(4096, 'g'));
  auto e = expectError(dir / "garbage.dmg");
  EXPECT_EQ(e.kind(), UnarchiveError::Case::mountFailed);
  EXPECT_NE(e.description().find("hdiutil failed with code: 1 data: <<"), std::string::npos);
}

TEST_F(UnarchiverTest, SignatureAssessmentRules) {
  fs::path vol = dir / "vol";
  testing::writeAppBundle(vol, "Demo.app");
  testing::makeDiskImage(vol, "Demo", dir / "Demo.dmg");
  struct Case {
    const char* output;
    bool passes;
  } cases[] = {
      {"Demo.dmg: rejected\nsource=no usable signature", true},
      {"Demo.dmg: accepted\nsource=Notarized Developer ID", true},
      {"Demo.dmg: accepted\nsource=Developer ID", true},
      {"  Demo.dmg: accepted\nsource=Apple System \n\n", false},
  };
  for (const auto& c : cases) {
    tools.spctl = fakeTool("spctl", std::string("[ \"$1 $2\" = \"-a -v\" ] || exit 9\nprintf '") +
                                        c.output + "' >&2\nexit 3");
    if (c.passes) {
      auto payload = unarchivePackage(dir / "Demo.dmg", work, tools);
      payload.cleanup();
    } else {
      auto e = expectError(dir / "Demo.dmg");
      EXPECT_EQ(e.kind(), UnarchiveError::Case::notarizationRejected);
      EXPECT_EQ(e.description(), "signature check failed: Demo.dmg: accepted\nsource=Apple System");
    }
  }
}

// --- the application search ---------------------------------------------------

TEST_F(UnarchiverTest, SearchStopsTwoLevelsDownAndSkipsHiddenEntries) {
  fs::path root = dir / "tree";
  fs::create_directories(root / "a/b/c/Deep.app");
  fs::create_directories(root / "a/b/Two.app/Contents/Inner.app");
  fs::create_directories(root / ".hidden/Hidden.app");
  fs::create_directories(root / ".Dot.app");
  writeFile(root / "x/File.APP", "a plain file counts too");
  fs::create_symlink(root / "a", root / "z-link");  // links are not followed

  std::vector<fs::path> found;
  findApplications(root, 0, found);
  std::vector<std::string> names;
  for (const auto& p : found) names.push_back(fs::relative(p, root).string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a/b/Two.app", "x/File.APP"}));

  found.clear();
  findApplications(root / "missing", 0, found);
  EXPECT_TRUE(found.empty());
}

// --- ZIP archives ------------------------------------------------------------

TEST_F(UnarchiverTest, ZipKeepsSymlinksAndExecutableBits) {
  fs::path src = dir / "src";
  testing::writeAppBundle(src / "Payload Dir", "Name.app");
  testing::writeArchive(dir / "Name.zip", ArchiveFormat::zip, testing::entriesFromTree(src));

  auto payload = unarchivePackage(dir / "Name.zip", work, tools);
  EXPECT_EQ(payload.applicationURL.filename(), "Name.app");
  fs::path unzip = payload.applicationURL.parent_path().parent_path();
  EXPECT_EQ(unzip.filename().string().rfind("unzip-", 0), 0u);
  EXPECT_TRUE(isExecutable(payload.applicationURL / "Contents/MacOS/demo"));
  EXPECT_FALSE(isExecutable(payload.applicationURL / "Contents/Info.plist"));
  ASSERT_TRUE(fs::is_symlink(payload.applicationURL / "Contents/Current"));
  EXPECT_EQ(fs::read_symlink(payload.applicationURL / "Contents/Current"), "MacOS");
  payload.cleanup();
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(UnarchiverTest, ZipWithoutBundleNamesTheDirectory) {
  testing::writeArchive(dir / "n.zip", ArchiveFormat::zip, {{"readme.txt", Kind::file, "hi"}});
  auto e = expectError(dir / "n.zip");
  EXPECT_EQ(e.kind(), UnarchiveError::Case::noApplicationFound);
  auto entries = workEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(e.description(), "No application found: " + (work / entries[0]).string());
}

TEST_F(UnarchiverTest, DittoFailureCarriesOnlyTheStatus) {
  tools.ditto = fakeTool("ditto", "echo noise; exit 4");
  auto e = expectError(dir / "x.zip");
  EXPECT_EQ(e.description(), "extract failed: ditto failed with code: 4");
  writeFile(dir / "broken.zip", "PK not really");
  tools = PackageTools::withHelpers(testing::testHelpersDirectory());
  EXPECT_EQ(expectError(dir / "broken.zip").kind(), UnarchiveError::Case::extractFailed);
}

TEST_F(UnarchiverTest, HostileZipEntriesAreRefused) {
  fs::path outside = dir / "outside";
  fs::create_directories(outside);
  const std::vector<std::vector<ArchiveEntry>> hostile = {
      {{"Good.app/x", Kind::file, "x"}, {"../escaped", Kind::file, "bad"}},
      {{"Good.app/x", Kind::file, "x"}, {(outside / "absolute").string(), Kind::file, "bad"}},
      {{"Good.app/link", Kind::symlink, "", outside.string()}, {"Good.app/link/through", Kind::file, "bad"}},
  };
  int n = 0;
  for (const auto& entries : hostile) {
    fs::path zip = dir / ("hostile" + std::to_string(n++) + ".zip");
    testing::writeArchive(zip, ArchiveFormat::zip, entries);
    auto e = expectError(zip);
    EXPECT_EQ(e.kind(), UnarchiveError::Case::extractFailed) << zip;
  }
  EXPECT_FALSE(fs::exists(work / "escaped"));
  EXPECT_FALSE(fs::exists(dir / "escaped"));
  EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(UnarchiverTest, ALinkPointingOutIsKeptAsALink) {
  testing::writeArchive(dir / "l.zip", ArchiveFormat::zip,
                        {{"L.app/Contents/MacOS/l", Kind::file, "#!/bin/sh\n", "", 0755},
                         {"L.app/etc", Kind::symlink, "", "/etc"}});
  auto payload = unarchivePackage(dir / "l.zip", work, tools);
  EXPECT_EQ(fs::read_symlink(payload.applicationURL / "etc"), "/etc");
  payload.cleanup();
}

// --- installer packages -----------------------------------------------------------

std::vector<ArchiveEntry> payloadWithApp(const std::string& place, const std::string& name = "Demo.app") {
  return {{place + "/" + name + "/Contents/MacOS/demo", Kind::file, "#!/bin/sh\n", "", 0755},
          {place + "/" + name + "/Contents/Current", Kind::symlink, "", "MacOS"}};
}

TEST_F(UnarchiverTest, PackageWithCompressedPayload) {
  testing::makeInstallerPackage(dir / "Demo.pkg", payloadWithApp("./Applications"));
  auto payload = unarchivePackage(dir / "Demo.pkg", work, tools);
  EXPECT_EQ(payload.applicationURL.filename(), "Demo.app");
  EXPECT_EQ(payload.applicationURL.parent_path().filename(), "Applications");
  EXPECT_EQ(payload.applicationURL.parent_path().parent_path().filename().string().rfind("payload-", 0), 0u);
  EXPECT_TRUE(isExecutable(payload.applicationURL / "Contents/MacOS/demo"));
  EXPECT_TRUE(fs::is_symlink(payload.applicationURL / "Contents/Current"));
  EXPECT_EQ(workEntries().size(), 2u);  // pkg- and payload-
  payload.cleanup();
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(UnarchiverTest, PackageWithPlainPayloadAndWithBoth) {
  testing::makeInstallerPackage(dir / "Plain.pkg", payloadWithApp("usr/local/Applications"),
                                testing::PayloadNaming::plain);
  auto plain = unarchivePackage(dir / "Plain.pkg", work, tools);
  EXPECT_EQ(plain.applicationURL.parent_path().filename(), "Applications");
  plain.cleanup();

  testing::makeInstallerPackage(dir / "Apple.pkg", payloadWithApp("Applications"),
                                testing::PayloadNaming::gzippedAsPayload);
  auto apple = unarchivePackage(dir / "Apple.pkg", work, tools);
  EXPECT_EQ(apple.applicationURL.filename(), "Demo.app");
  apple.cleanup();

  // The plain payload of this one is garbage: success shows Payload.gz won.
  testing::makeInstallerPackage(dir / "Both.pkg", payloadWithApp("Applications"), testing::PayloadNaming::both);
  auto both = unarchivePackage(dir / "Both.pkg", work, tools);
  EXPECT_EQ(both.applicationURL.filename(), "Demo.app");
  both.cleanup();
}

TEST_F(UnarchiverTest, ApplicationsWinsOverTheOtherPlacesHoweverDeep) {
  auto entries = payloadWithApp("usr/local/Applications", "Shallow.app");
  auto deep = payloadWithApp("Applications/a/b", "Deep.app");
  entries.insert(entries.end(), deep.begin(), deep.end());
  testing::makeInstallerPackage(dir / "Two.pkg", entries);
  auto payload = unarchivePackage(dir / "Two.pkg", work, tools);
  EXPECT_EQ(payload.applicationURL.filename(), "Deep.app");
  payload.cleanup();

  testing::makeInstallerPackage(dir / "Lib.pkg", payloadWithApp("Library/Application Support/Vendor"));
  auto lib = unarchivePackage(dir / "Lib.pkg", work, tools);
  EXPECT_EQ(lib.applicationURL.parent_path().filename(), "Vendor");
  lib.cleanup();
}

TEST_F(UnarchiverTest, PackageFailures) {
  testing::writeArchive(dir / "NoPayload.pkg", ArchiveFormat::xar, {{"Distribution", Kind::file, "<x/>"}});
  EXPECT_EQ(expectError(dir / "NoPayload.pkg").description(),
            "extract failed: Failed to find Payload in expanded PKG");

  testing::makeInstallerPackage(dir / "Elsewhere.pkg", payloadWithApp("opt"));
  EXPECT_EQ(expectError(dir / "Elsewhere.pkg").description(),
            "No application found: No application found in extracted Payload");

  testing::writeArchive(dir / "Bad.pkg", ArchiveFormat::xar,
                        {{"Payload.gz", Kind::file, "this is not gzip"}});
  EXPECT_EQ(expectError(dir / "Bad.pkg").description(), "extract failed: Failed to extract Payload");

  tools.pkgutil = fakeTool("pkgutil", "echo \"cannot expand $2\"; exit 1");
  EXPECT_EQ(expectError(dir / "Any.pkg").description(),
            "extract failed: Failed to expand PKG file: cannot expand " + (dir / "Any.pkg").string() + "\n");
}

TEST_F(UnarchiverTest, HostilePayloadsDoNotWriteOutsideTheirDirectory) {
  fs::path outside = dir / "outside";
  fs::create_directories(outside);
  auto good = payloadWithApp("Applications");
  const std::vector<std::vector<ArchiveEntry>> hostile = {
      {{"../../escaped", Kind::file, "bad"}},
      {{"Applications/../../../escaped", Kind::file, "bad"}},
      {{(outside / "absolute").string(), Kind::file, "bad"}},
      {{"Applications/link", Kind::symlink, "", outside.string()},
       {"Applications/link/through", Kind::file, "bad"}},
  };
  int n = 0;
  for (auto entries : hostile) {
    entries.insert(entries.begin(), good.begin(), good.end());
    fs::path pkg = dir / ("hostile" + std::to_string(n++) + ".pkg");
    testing::makeInstallerPackage(pkg, entries);
    EXPECT_EQ(expectError(pkg).description(), "extract failed: Failed to extract Payload") << pkg;
  }
  EXPECT_FALSE(fs::exists(dir / "escaped"));
  EXPECT_FALSE(fs::exists(work / "escaped"));
  EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(UnarchiverTest, WorkingDirectoryWithQuotesAndSpaces) {
  work = dir / "it's a \"dir\" $x";
  fs::create_directories(work);
  testing::makeInstallerPackage(dir / "Q.pkg", payloadWithApp("Applications"));
  auto payload = unarchivePackage(dir / "Q.pkg", work, tools);
  EXPECT_EQ(payload.applicationURL.parent_path().parent_path().parent_path(), work);
  EXPECT_TRUE(fs::exists(payload.applicationURL / "Contents/MacOS/demo"));
  payload.cleanup();
  EXPECT_TRUE(fs::is_empty(work));
}

TEST_F(UnarchiverTest, MissingToolAndUncreatableDirectoryArePassedUp) {
  tools.ditto = dir / "no-such-ditto";
  EXPECT_THROW(unarchivePackage(dir / "x.zip", work, tools), std::system_error);
  writeFile(dir / "file", "a file, not a directory");
  EXPECT_THROW(unarchivePackage(dir / "x.zip", dir / "file" / "work", tools), fs::filesystem_error);
}

}  // namespace
}  // namespace installer
