#include "package/unarchiver.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <system_error>

#include "extract/space_reserve.h"
#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveEntry;
using testing::ArchiveFormat;
using testing::TempDir;
using testing::writeFile;
using Kind = ArchiveEntry::Kind;

enum class Format { diskImage, zip, package };
constexpr Format kFormats[] = {Format::diskImage, Format::zip, Format::package};
const char* nameOf(Format f) {
  return f == Format::diskImage ? "disk image" : f == Format::zip ? "ZIP" : "installer package";
}

// Sets an environment variable (inherited by the stand-ins) while alive.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) { setenv(name, value.c_str(), 1); }
  ~ScopedVariable() { unsetenv(name_); }

 private:
  const char* name_;
};

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

  // The tree below `root` as a package of `format` named `name`; a package
  // carries it under "Applications/".
  fs::path pack(const fs::path& root, Format format, const std::string& name) {
    switch (format) {
      case Format::diskImage:
        testing::makeDiskImage(root, name, dir / (name + ".dmg"), testing::UdifChunks::zlib);
        return dir / (name + ".dmg");
      case Format::zip:
        testing::writeArchive(dir / (name + ".zip"), ArchiveFormat::zip, testing::entriesFromTree(root));
        return dir / (name + ".zip");
      case Format::package:
        // Its container carries a localized resource too, for pkgutil's names.
        testing::makeInstallerPackage(dir / (name + ".pkg"), testing::entriesFromTree(root, "Applications/"),
                                      testing::PayloadNaming::gzipped,
                                      {{"Resources/ja.lproj/日本語 Café.txt", Kind::file, "ja"}});
        return dir / (name + ".pkg");
    }
    return {};
  }

  // Whatever lies below the directories an unpacking made in `work`.
  std::vector<std::string> leftovers() {
    std::vector<std::string> found;
    for (const auto& top : fs::directory_iterator(work)) {
      for (const auto& e : fs::recursive_directory_iterator(top.path())) {
        found.push_back(e.path().lexically_relative(work).string());
      }
    }
    return found;
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
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(UnarchiverTest, TheRealStandInAttachesOnlyDiskImages) {
  const std::vector<ArchiveEntry> app = {{"Demo.app/Contents/MacOS/demo", Kind::file, "#!/bin/sh\n", "", 0755}};
  testing::writeArchive(dir / "zip.dmg", ArchiveFormat::zip, app);
  testing::writeArchive(dir / "tar.dmg", ArchiveFormat::tar, app);
  writeFile(dir / "garbage.dmg", std::string(4096, 'g'));
  for (const char* name : {"zip.dmg", "tar.dmg", "garbage.dmg"}) {
    auto e = expectError(dir / name);
    EXPECT_EQ(e.kind(), UnarchiveError::Case::mountFailed) << name;
    EXPECT_NE(e.description().find("hdiutil failed with code: 1 data: <<"), std::string::npos);
    EXPECT_NE(e.description().find("image not recognized"), std::string::npos) << e.description();
  }
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(UnarchiverTest, OfSeveralPartitionsTheVolumeHoldingTheApplicationIsAttached) {
  fs::path docs = dir / "docs";
  writeFile(docs / "README", "no application here");
  fs::path vol = dir / "vol";
  testing::writeAppBundle(vol, "Demo.app");
  testing::writeUDIF({{"Driver Descriptor Map (DDM : 0)", "ER" + std::string(510, '\0')},
                      {"Apple (Apple_partition_map : 1)", "PM" + std::string(1022, '\0')},
                      {"disk image (Apple_HFS : 2)", testing::makeHFSVolume(docs, "Docs")},
                      {"disk image (Apple_HFS : 3)", testing::makeHFSVolume(vol, "Demo")},
                      {"(Apple_Free : 4)", std::string(1024, '\0')}},
                     dir / "Multi.dmg", testing::UdifChunks::zlib);

  auto payload = unarchivePackage(dir / "Multi.dmg", work, tools);
  EXPECT_EQ(payload.applicationURL.filename(), "Demo.app");
  std::vector<std::string> mounted;
  for (const auto& e : fs::directory_iterator(payload.applicationURL.parent_path())) {
    mounted.push_back(e.path().filename().string());
  }
  EXPECT_EQ(mounted, std::vector<std::string>{"Demo.app"});
  EXPECT_TRUE(isExecutable(payload.applicationURL / "Contents/MacOS/demo"));
  payload.cleanup();
  EXPECT_TRUE(workEntries().empty());
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
  writeFile(root / "x/File.APP", "a plain file is no bundle");
  fs::create_directories(root / "y/NoContents.app/Inner.app/Contents");
  fs::create_symlink(root / "a", root / "z-link");  // links are not followed
  fs::create_symlink(root / "a/b/Two.app", root / "Link.app");  // nor reported

  std::vector<fs::path> found;
  findApplications(root, 0, found);
  std::vector<std::string> names;
  for (const auto& p : found) names.push_back(fs::relative(p, root).string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a/b/Two.app", "y/NoContents.app/Inner.app"}));

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
  EXPECT_EQ(e.description().rfind("No application found: " + (work / "unzip-").string(), 0), 0u);
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(UnarchiverTest, DittoFailureCarriesOnlyTheStatus) {
  tools.ditto = fakeTool("ditto", "echo noise; exit 4");
  auto e = expectError(dir / "x.zip");
  EXPECT_EQ(e.description(), "extract failed: ditto failed with code: 4");
  writeFile(dir / "broken.zip", "PK not really");
  tools = PackageTools::withHelpers(testing::testHelpersDirectory());
  EXPECT_EQ(expectError(dir / "broken.zip").kind(), UnarchiveError::Case::extractFailed);
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

  testing::makeInstallerPackage(dir / "Elsewhere.pkg", payloadWithApp("opt/a/b/c"));
  EXPECT_EQ(expectError(dir / "Elsewhere.pkg").description(),
            "No application found: No application found in extracted Payload");

  testing::writeArchive(dir / "Bad.pkg", ArchiveFormat::xar,
                        {{"Payload.gz", Kind::file, "this is not gzip"}});
  EXPECT_EQ(expectError(dir / "Bad.pkg").description(), "extract failed: Failed to extract Payload");

  tools.pkgutil = fakeTool("pkgutil", "echo \"cannot expand $2\"; exit 1");
  EXPECT_EQ(expectError(dir / "Any.pkg").description(),
            "extract failed: Failed to expand PKG file: cannot expand " + (dir / "Any.pkg").string() + "\n");
  EXPECT_TRUE(workEntries().empty());
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

// --- Finder ZIPs and packages inside images and ZIPs ---------------------------

std::string attribute(const fs::path& file, const std::string& name) {
  char value[256];
  ssize_t n = lgetxattr(file.c_str(), name.c_str(), value, sizeof value);
  return n < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(n));
}

TEST_F(UnarchiverTest, FinderZipMetadataIsFoldedAwayEvenWhenListedFirst) {
  const std::string finderInfo = "APPLMACS" + std::string(24, '\0');
  std::vector<ArchiveEntry> entries = {
      {"__MACOSX/Demo.app/Contents/._Info.plist", Kind::file,
       testing::appleDouble("", "", {{"com.apple.quarantine", "0081;x"}, {"com.example.tag", "blue"}})},
      {"__MACOSX/Demo.app/._Icon\r", Kind::file, testing::appleDouble(finderInfo, "RSRC", {})},
      {"__MACOSX/Demo.app/Contents/MacOS/._demo", Kind::file, "truncated \x00\x05\x16\x07"},
      {"__MACOSX/Demo.app/._Current", Kind::file, testing::appleDouble(finderInfo, "", {})},
      {"__MACOSX/Gone/._missing", Kind::file, testing::appleDouble(finderInfo, "", {})},
  };
  fs::path src = dir / "src";
  testing::writeAppBundle(src, "Demo.app");
  writeFile(src / "Demo.app/Icon\r", "");
  fs::create_symlink("Contents", src / "Demo.app/Current");
  auto tree = testing::entriesFromTree(src);
  entries.insert(entries.end(), tree.begin(), tree.end());
  testing::writeArchive(dir / "Finder.zip", ArchiveFormat::zip, entries);

  auto payload = unarchivePackage(dir / "Finder.zip", work, tools);
  fs::path app = payload.applicationURL;
  EXPECT_EQ(app.parent_path().parent_path(), work);
  EXPECT_FALSE(fs::exists(app.parent_path() / "__MACOSX"));
  EXPECT_EQ(attribute(app / "Contents/Info.plist", "user.com.example.tag"), "blue");
  EXPECT_EQ(attribute(app / "Contents/Info.plist", "user.com.apple.quarantine"), "0081;x");
  EXPECT_EQ(attribute(app / "Icon\r", "user.com.apple.FinderInfo"), finderInfo);
  EXPECT_EQ(attribute(app / "Icon\r", "user.com.apple.ResourceFork"), "RSRC");
  EXPECT_EQ(attribute(app / "Contents/MacOS/demo", "user.com.apple.FinderInfo"), "(none)");
  EXPECT_TRUE(fs::is_symlink(app / "Current"));
  payload.cleanup();
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(UnarchiverTest, ImageOrZipHoldingOnlyOnePackageYieldsThePackagesBundle) {
  fs::path vol = dir / "vol";
  fs::create_directories(vol / "Docs");
  testing::makeInstallerPackage(vol / "Docs/Demo Installer.pkg", payloadWithApp("Applications"));
  writeFile(vol / "ReadMe.txt", "open the package");
  for (Format format : {Format::diskImage, Format::zip}) {
    SCOPED_TRACE(nameOf(format));
    auto payload = unarchivePackage(pack(vol, format, "Outer"), work, tools);
    EXPECT_EQ(payload.applicationURL.filename(), "Demo.app");
    EXPECT_EQ(payload.applicationURL.parent_path().parent_path().filename().string().rfind("payload-", 0), 0u);
    EXPECT_EQ(workEntries().size(), 2u);  // the image or ZIP is already gone
    payload.cleanup();
    EXPECT_TRUE(workEntries().empty());
  }
  testing::makeInstallerPackage(vol / "Second.pkg", payloadWithApp("Applications"));
  for (Format format : {Format::diskImage, Format::zip}) {
    SCOPED_TRACE(nameOf(format));
    EXPECT_EQ(expectError(pack(vol, format, "Two")).kind(), UnarchiveError::Case::noApplicationFound);
    EXPECT_TRUE(workEntries().empty());
  }
}

// --- odd, hostile and oversized archives, in every format -------------------------

TEST_F(UnarchiverTest, ClimbingAbsoluteAndEscapingLinksAndNonASCIINamesComeOutVerbatim) {
  fs::path tree = dir / "tree";
  fs::path app = testing::writeAppBundle(tree, "Café.app");
  fs::path res = app / "Contents/Resources";
  fs::create_directories(res);
  fs::create_symlink("../MacOS/demo", res / "link");
  fs::create_symlink("/etc", res / "abs");
  fs::create_symlink("../../../../../../escape", res / "out");
  const std::vector<std::string> names = {"Français été à.txt", "中文说明.txt", "日本語のファイル.txt"};
  for (const auto& n : names) writeFile(res / n, n);

  for (Format format : kFormats) {
    SCOPED_TRACE(nameOf(format));
    auto payload = unarchivePackage(pack(tree, format, "Odd"), work, tools);
    fs::path out = payload.applicationURL / "Contents/Resources";
    EXPECT_EQ(payload.applicationURL.filename(), "Café.app");
    EXPECT_EQ(fs::read_symlink(out / "link"), "../MacOS/demo");
    EXPECT_TRUE(fs::equivalent(out / "link", payload.applicationURL / "Contents/MacOS/demo"));
    EXPECT_EQ(fs::read_symlink(out / "abs"), "/etc");
    EXPECT_EQ(fs::read_symlink(out / "out"), "../../../../../../escape");
    for (const auto& n : names) EXPECT_EQ(testing::readFile(out / n), n);
    payload.cleanup();
  }
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(UnarchiverTest, ArchivesReachingOutsideAreRefusedAndLeaveNothing) {
  fs::path outside = dir / "outside";
  writeFile(outside / "victim", "untouched");
  struct Row {
    const char* what;
    std::vector<ArchiveEntry> entries;
  };
  const std::vector<Row> rows = {
      {"climbing name", {{"../../escaped", Kind::file, "bad"}}},
      {"name climbing midway", {{"Applications/../../../escaped", Kind::file, "bad"}}},
      {"absolute name", {{(outside / "absolute").string(), Kind::file, "bad"}}},
      {"write through a link",
       {{"Applications/link", Kind::symlink, "", outside.string()}, {"Applications/link/victim", Kind::file, "bad"}}},
  };
  auto good = payloadWithApp("Applications");
  for (const auto& row : rows) {
    auto entries = good;
    entries.insert(entries.end(), row.entries.begin(), row.entries.end());
    testing::writeArchive(dir / "h.zip", ArchiveFormat::zip, entries);
    testing::makeInstallerPackage(dir / "h.pkg", entries);
    const std::pair<fs::path, std::string> cases[] = {
        {dir / "h.zip", "extract failed: ditto failed with code: 1"},
        {dir / "h.pkg", "extract failed: Failed to extract Payload"}};

    for (const auto& [archive, description] : cases) {
      SCOPED_TRACE(std::string(row.what) + " in " + archive.filename().string());
      EXPECT_EQ(expectError(archive).description(), description);
      EXPECT_EQ(leftovers(), std::vector<std::string>{});
      EXPECT_FALSE(fs::exists(dir / "escaped"));
      EXPECT_FALSE(fs::exists(work / "escaped"));
      EXPECT_EQ(testing::readFile(outside / "victim"), "untouched");
      EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
      for (const auto& e : fs::directory_iterator(work)) fs::remove_all(e.path());
    }
  }
}

TEST_F(UnarchiverTest, ArchivesThatWouldFillTheDiskStopAtTheReserveAndLeaveNothing) {
  fs::path tree = dir / "bomb";
  fs::path app = testing::writeAppBundle(tree, "Bomb.app");
  writeFile(app / "Contents/Resources/zeros", std::string(64u << 20, '\0'));
  std::vector<fs::path> archives;
  for (Format format : kFormats) archives.push_back(pack(tree, format, "Bomb"));
  auto space = helpers::volumeSpace(work);
  ASSERT_TRUE(space);
  // Room for 16 MiB above the reserve: the 64 MiB inside cannot fit.
  ScopedVariable reserve(helpers::kReserveVariable, std::to_string(space->available - (16u << 20)));

  const UnarchiveError::Case expected[] = {UnarchiveError::Case::mountFailed,
                                           UnarchiveError::Case::extractFailed,
                                           UnarchiveError::Case::extractFailed};
  for (std::size_t i = 0; i < archives.size(); ++i) {
    SCOPED_TRACE(nameOf(kFormats[i]));
    EXPECT_EQ(expectError(archives[i]).kind(), expected[i]);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

TEST_F(UnarchiverTest, TheGNUOnlyCpioOptionGoesOnlyToGNUCpioAskedOnce) {
  testing::makeInstallerPackage(dir / "Demo.pkg", payloadWithApp("Applications"));
  fs::create_directories(dir / "bsd");
  fs::create_symlink("/usr/bin/bsdcpio", dir / "bsd/cpio");
  struct Row {
    const char* name;
    std::string pathPrefix;
    bool gnu;
  } rows[] = {{"gnu", "", true}, {"bsd", (dir / "bsd").string() + ":", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::path log = dir / (std::string(row.name) + ".log");
    // Logs each command, then runs it with this row's cpio first on the path.
    tools.shell = fakeTool(std::string("sh-") + row.name,
                           "printf '%s\\n' \"$2\" >> '" + log.string() + "'\nPATH='" + row.pathPrefix +
                               "'\"$PATH\" exec /bin/sh \"$@\"");
    for (int run = 0; run < 2; ++run) unarchivePackage(dir / "Demo.pkg", work, tools).cleanup();
    std::string commands = testing::readFile(log);
    EXPECT_EQ(commands.find("--no-absolute-filenames") != std::string::npos, row.gnu) << commands;
    EXPECT_EQ(commands.find("cpio --version"), commands.rfind("cpio --version")) << commands;
  }
  EXPECT_TRUE(workEntries().empty());
}

TEST_F(UnarchiverTest, MissingToolAndUncreatableDirectoryArePassedUp) {
  tools.ditto = dir / "no-such-ditto";
  EXPECT_THROW(unarchivePackage(dir / "x.zip", work, tools), std::system_error);
  writeFile(dir / "file", "a file, not a directory");
  EXPECT_THROW(unarchivePackage(dir / "x.zip", dir / "file" / "work", tools), fs::filesystem_error);
}

}  // namespace
}  // namespace installer
