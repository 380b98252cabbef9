// The hdiutil stand-in, started as a child process on real disk images:
// the samples made on macOS, and images made here (APFS volumes taken out
// of a sample and wrapped again in every chunk encoding, hybrid ISO/HFS+
// images from xorriso).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/tool_runner.h"
#include "support/package_fixtures.h"

namespace fs = std::filesystem;

namespace installer {
namespace {

const fs::path kSamples = fs::path(INSTALLER_SOURCE_DIR).parent_path() / "shared" / "samples";

struct Attached {
  int status = -1;
  std::string output;
};

Attached attach(const fs::path& image, const fs::path& mountPoint) {
  fs::create_directories(mountPoint);
  ToolResult r = runTool(testing::testHelpersDirectory() / "hdiutil",
                         {"attach", image.string(), "-nobrowse", "-noautoopen", "-noverify", "-mountpoint",
                          mountPoint.string()});
  return {r.status, r.output};
}

// What the tests compare: "d" for a folder, "l TARGET" for a link, "x" for
// an executable file, "f" for another file.
std::string kindOf(const fs::path& p) {
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return "missing";
  if (S_ISDIR(st.st_mode)) return "d";
  if (S_ISLNK(st.st_mode)) return "l " + fs::read_symlink(p).string();
  if (S_ISREG(st.st_mode)) return st.st_mode & S_IXUSR ? "x" : "f";
  return "other";
}

// Every name below `root`; none may hold an attribute stream's ":".
std::vector<std::string> namesBelow(const fs::path& root) {
  std::vector<std::string> names;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    names.push_back(fs::relative(it->path(), root).string());
  }
  return names;
}

void expectTree(const fs::path& root, const std::map<std::string, std::string>& expected) {
  for (const auto& [path, kind] : expected) EXPECT_EQ(kindOf(root / path), kind) << path;
  for (const auto& name : namesBelow(root)) EXPECT_EQ(name.find(':'), std::string::npos) << name;
}

const std::string kEncrypted = "hdiutil: attach failed: the disk image is encrypted";
const std::string kSparkleApp = "SparkleTestCodeSignApp.app";
const std::string kSparkleFramework = kSparkleApp + "/Contents/Frameworks/Sparkle.framework";
const std::map<std::string, std::string> kSparkleTree = {
    {"Applications", "l /Applications"},
    {kSparkleApp + "/Contents/Info.plist", "f"},
    {kSparkleApp + "/Contents/MacOS/Sparkle Test App", "x"},
    {kSparkleFramework + "/Versions/Current", "l A"},
    {kSparkleFramework + "/Sparkle", "l Versions/Current/Sparkle"},
    {kSparkleFramework + "/Versions/A/Sparkle", "x"},
};

std::string contentsOf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Every regular file 7-Zip itself extracts from `image` is in the volume
// with the same bytes, executable bit and modification time.
void expectFilesAsSevenZipHasThem(const fs::path& image, bool isHFS, const fs::path& volume, const fs::path& scratch) {
  ASSERT_EQ(runTool("/usr/bin/7z", {"x", "-y", "-sns-", "-o" + scratch.string(), image.string()}).status, 0);
  fs::create_directories(scratch);  // 7-Zip makes none for an empty volume
  fs::path root = scratch;
  std::vector<fs::path> top{fs::directory_iterator(scratch), fs::directory_iterator()};
  if (isHFS) root = top.at(0);  // the volume's name
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!fs::is_regular_file(e.symlink_status())) continue;
    fs::path mine = volume / fs::relative(e.path(), root);
    SCOPED_TRACE(mine);
    EXPECT_EQ(kindOf(mine), kindOf(e.path()));
    EXPECT_TRUE(contentsOf(mine) == contentsOf(e.path()));
    struct stat a {}, b {};
    lstat(mine.c_str(), &a);
    lstat(e.path().c_str(), &b);
    EXPECT_EQ(a.st_mtime, b.st_mtime);
  }
}

struct SampleRow {
  std::string file;
  std::string failure;  // the start of the message, empty when it attaches
  std::map<std::string, std::string> tree;
  bool empty = false;  // the volume holds nothing
};

TEST(HdiutilSamples, EachImageAttachesOrFailsAsItsRowSays) {
  if (!fs::is_directory(kSamples)) GTEST_SKIP() << "no sample packages at " << kSamples;
  const std::vector<SampleRow> rows = {
      {"sparkle-udbz-apm-hfs-app-sla.dmg", "", kSparkleTree},
      {"sparkle-udbz-gpt-apfs-app.dmg", "", kSparkleTree},
      {"sparkle-ulmo-gpt-apfs-with-pkg.dmg", "", {{"SparkleTestCodeSignApp.pkg", "f"}}},
      {"sparkle-encrypted-app-nolicense.dmg", kEncrypted, {}},
      {"brew-udzo-gpt-hfs-app.dmg", "", {{"Transmission.app/Contents/MacOS/Transmission", "x"}}},
      {"brew-udzo-gpt-apfs-onefile.dmg", "", {{"container", "x"}}},
      {"brew-udrw-raw-gpt-apfs.dmg", "hdiutil: attach failed: image not recognized", {}},
      {"dfvfs-udzo-gpt-hfs-symlink-xattr.dmg",
       "",
       {{"a_link", "l a_directory/another_file"}, {"a_directory/a_file", "f"}, {"a_directory/a_resourcefork", "f"}}},
      {"dmgwiz-udzo-apfs-empty.dmg", "", {}, true},
      {"dmgwiz-udbz-apfs-empty.dmg", "", {}, true},
      {"dmgwiz-ulfo-apfs-empty.dmg", "", {}, true},
      {"dmgwiz-encrypted-aes256.dmg", kEncrypted, {}},
      {"dmgwiz-legacy-2003-apm-hfs-app.dmg", "", {{"SquidMan.app/Contents/Info.plist", "f"}}},
  };
  testing::TempDir dir("hdiutil-samples");
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    fs::path mountPoint = dir.path() / ("mnt-" + std::to_string(n++));
    Attached a = attach(kSamples / row.file, mountPoint);
    if (!row.failure.empty()) {
      EXPECT_EQ(a.status, 1);
      EXPECT_EQ(a.output.rfind(row.failure, 0), 0u) << a.output;
      EXPECT_TRUE(fs::is_empty(mountPoint));
      continue;
    }
    ASSERT_EQ(a.status, 0) << a.output;
    expectTree(mountPoint, row.tree);
    EXPECT_EQ(fs::is_empty(mountPoint), row.empty);
    expectFilesAsSevenZipHasThem(kSamples / row.file, row.file.find("hfs") != std::string::npos, mountPoint, dir.path() / "reference" / row.file);
  }
  // Nothing but the mount points: no staging left beside them.
  fs::remove_all(dir.path() / "reference");
  EXPECT_EQ(static_cast<int>(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator())), n);
}

// The raw APFS partition of a sample, wrapped again as the single
// partition of an image in each of hdiutil's chunk encodings.
class HdiutilApfsEncodings : public ::testing::TestWithParam<testing::UdifChunks> {};

std::string apfsPartitionOf(const fs::path& sample, const fs::path& scratch) {
  ToolResult r = runTool("/usr/bin/7z", {"e", "-y", "-tdmg", "-o" + scratch.string(), sample.string(), "4.apfs"});
  std::ifstream in(scratch / "4.apfs", std::ios::binary);
  if (r.status != 0 || !in) throw std::runtime_error("cannot take the APFS partition out of " + sample.string());
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST_P(HdiutilApfsEncodings, VolumesWithLinksAndEmptyVolumesAttach) {
  if (!fs::is_directory(kSamples)) GTEST_SKIP() << "no sample packages at " << kSamples;
  testing::TempDir dir("hdiutil-apfs");
  struct Case {
    std::string sample;
    std::map<std::string, std::string> tree;
  };
  for (const Case& c : {Case{"sparkle-udbz-gpt-apfs-app.dmg", kSparkleTree}, Case{"dmgwiz-udzo-apfs-empty.dmg", {}}}) {
    SCOPED_TRACE(c.sample);
    fs::path dmg = dir.path() / ("re-" + c.sample);
    testing::writeUDIF({{"disk image (Apple_APFS : 0)", apfsPartitionOf(kSamples / c.sample, dir.path() / ("part-" + c.sample))}}, dmg, GetParam());
    fs::path mountPoint = dir.path() / ("mnt-" + c.sample);
    Attached a = attach(dmg, mountPoint);
    ASSERT_EQ(a.status, 0) << a.output;
    expectTree(mountPoint, c.tree);
    EXPECT_EQ(fs::is_empty(mountPoint), c.tree.empty());
  }
}

std::string chunksName(const ::testing::TestParamInfo<testing::UdifChunks>& info) {
  static const char* const names[] = {"raw", "zlib", "bzip2", "lzma", "adc"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Chunks, HdiutilApfsEncodings,
                         ::testing::Values(testing::UdifChunks::raw, testing::UdifChunks::zlib,
                                           testing::UdifChunks::bzip2, testing::UdifChunks::lzma,
                                           testing::UdifChunks::adc),
                         chunksName);

// A hybrid ISO 9660/HFS+ image as `xorriso -as mkisofs -r -hfsplus` makes
// it, attached as it is, inside a UDIF image, and its HFS+ side alone:
// links come out verbatim, whatever they point at, and nothing is written
// through them. Once with little data, which comes out of 7-Zip's data
// stream, and once with more, which 7-Zip writes itself.
class HdiutilHybridIso : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HdiutilHybridIso, KeepsNamesLinksAndExecutableBits) {
  testing::TempDir dir("hdiutil-iso");
  fs::path src = dir.path() / "src";
  testing::AppBundleSpec bundle;
  bundle.resources = {{"data", GetParam()}};
  testing::writeAppBundle(src, "Demo.app", bundle);
  fs::create_directories(src / "Demo.app/Contents/Frameworks/K.framework/Versions/A");
  fs::create_symlink("A", src / "Demo.app/Contents/Frameworks/K.framework/Versions/Current");
  fs::create_symlink("/Applications", src / "Applications");
  fs::create_symlink("../../../../../../etc", src / "up");
  std::ofstream(src / "Icon\r") << "icon";
  fs::path iso = dir.path() / "Demo.iso";
  std::string cmd = "LC_ALL=C.UTF-8 xorriso -as mkisofs -quiet -r -hfsplus -V Demo -o '" + iso.string() + "' '" +
                    src.string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  fs::path wrapped = dir.path() / "Demo.dmg";
  testing::writeFlatUDIF(iso, wrapped, "disk image (Apple_HFS : 0)", testing::UdifChunks::zlib);
  fs::path hfs = dir.path() / "DemoHFS.dmg";
  testing::makeDiskImage(src, "Demo", hfs, testing::UdifChunks::zlib);

  for (const fs::path& image : {iso, wrapped, hfs}) {
    SCOPED_TRACE(image.filename());
    fs::path mountPoint = dir.path() / "vol" / image.filename();
    Attached a = attach(image, mountPoint);
    ASSERT_EQ(a.status, 0) << a.output;
    expectTree(mountPoint, {{"Applications", "l /Applications"},
                            {"up", "l ../../../../../../etc"},
                            {"Icon\r", "f"},
                            {"Demo.app/Contents/MacOS/demo", "x"},
                            {"Demo.app/Contents/Current", "l MacOS"},
                            {"Demo.app/Contents/Frameworks/K.framework/Versions/Current", "l A"}});
    EXPECT_EQ(fs::file_size(mountPoint / "Demo.app/Contents/Resources/data"), GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(DataSizes, HdiutilHybridIso, ::testing::Values(std::size_t{4096}, std::size_t{9} << 20));

TEST(HdiutilEncrypted, BothHeaderVersionsFailAsEncrypted) {
  testing::TempDir dir("hdiutil-encrypted");
  const std::string body(8192, 'e');
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"v2.dmg", "encrcdsa" + body}, {"v1.dmg", body + "cdsaencr"}}) {
    SCOPED_TRACE(name);
    std::ofstream(dir.path() / name, std::ios::binary) << bytes;
    Attached a = attach(dir.path() / name, dir.path() / ("mnt-" + name));
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.output.rfind(kEncrypted, 0), 0u) << a.output;
  }
}

}  // namespace
}  // namespace installer
