#include "publish/bundle_packer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <array>
#include <cstdio>
#include <map>
#include <vector>

#include "package/unarchiver.h"
#include "support/package_fixtures.h"

namespace installer::publish {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

// One line per item below `root`: name, kind, permission bits, and the
// link target or the contents.
std::map<std::string, std::string> treeOf(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st;
    lstat(it->path().c_str(), &st);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
    std::string what = S_ISLNK(st.st_mode)  ? "link " + fs::read_symlink(it->path()).string()
                       : S_ISDIR(st.st_mode) ? std::string("dir")
                                             : "file " + std::string(mode) + " " + testing::readFile(it->path());
    tree[it->path().lexically_relative(root).string()] = what;
  }
  return tree;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::array<char, 4096> buffer;
  while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
  pclose(pipe);
  return out;
}

class BundlePackerTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    bundle_ = dir_ / "src" / "Süß Demo.app";
    testing::writeInfoPlist(bundle_ / "Contents" / "Info.plist", {{"CFBundleIdentifier", "com.example.suess"},
                                                                   {"CFBundleExecutable", "Süß Demo"},
                                                                   {"CFBundleShortVersionString", "2.1"},
                                                                   {"CFBundleIconFile", "AppIcon"}});
    writeFile(bundle_ / "Contents" / "MacOS" / "Süß Demo", "#!/bin/sh\nexit 0\n", 0755);
    writeFile(bundle_ / "Contents" / "Resources" / "AppIcon.icns", std::string(300, 'i'), 0644);
    writeFile(bundle_ / "Contents" / "Resources" / "private.key", "secret", 0600);
    writeFile(bundle_ / "Contents" / "Resources" / "tool", "#!/bin/sh\n", 0750);
    fs::create_symlink("MacOS/Süß Demo", bundle_ / "Contents" / "Launcher");
    const fs::path tagged = bundle_ / "Contents" / "Resources" / "AppIcon.icns";
    tagged_ = setxattr(tagged.c_str(), "user.com.example.tag", "blue", 4, 0) == 0;
  }

  // The attribute set above, as the installed copy has it; "" when missing.
  static std::string tagOf(const fs::path& app) {
    char value[16] = {};
    ssize_t n = getxattr((app / "Contents/Resources/AppIcon.icns").c_str(), "user.com.example.tag", value, sizeof value);
    return n > 0 ? std::string(value, static_cast<std::size_t>(n)) : "";
  }

  TempDir dir_{"pack"};
  fs::path bundle_;
  bool tagged_ = false;  // the file system takes user attributes
};

// Every format installs the same tree through the installer's own
// unarchiver, and lists the same names, modes and links in the standard
// readers.
TEST_P(BundlePackerTest, PackageHoldsTheBundleUnchanged) {
  const std::string format = GetParam();
  const fs::path out = dir_ / ("Demo." + format);
  packBundle(bundle_, *packageFormatNamed(format), out);

  fs::create_directories(dir_ / "work");
  auto payload = unarchivePackage(out, dir_ / "work", PackageTools::withHelpers(testing::testHelpersDirectory()));
  EXPECT_EQ(payload.applicationURL.filename(), "Süß Demo.app");
  EXPECT_EQ(treeOf(payload.applicationURL), treeOf(bundle_));
  // Of the three formats ZIP holds extended attributes (as ditto does).
  if (format == "zip" && tagged_) {
    EXPECT_EQ(tagOf(payload.applicationURL), "blue");
  }
  payload.cleanup();

  // The standard readers list the same names and modes: bsdtar reads ZIP
  // and the package's payload (it has no disk-image reader), 7-Zip every
  // format. HFS+ keeps names decomposed, as macOS writes them.
  const std::string in = "cd '" + dir_.path().string() + "' && ";
  const std::string file = "'" + out.string() + "'";
  std::vector<std::string> readers = {"7z l -slt " + file};
  if (format == "zip") readers.push_back("bsdtar -tvf " + file);
  if (format == "pkg") {
    readers = {in + "bsdtar -xf " + file + " Payload && bsdtar -tvf Payload",
               in + "7z x -y -tXar -ox " + file + " && 7z x -y -oy x/Payload && 7z l -slt y/Payload~"};
  }
  const std::string name = format == "dmg" ? "Su\xcc\x88\xc3\x9f Demo" : "S\xc3\xbc\xc3\x9f Demo";
  for (const auto& reader : readers) {
    const std::string listing = run(reader);
    for (const std::string& expected : {name + ".app", "Contents/MacOS/" + name, std::string("rwxr-xr-x"),
                                        std::string("rw-------"), std::string("rwxr-x---"), std::string("Launcher")}) {
      EXPECT_NE(listing.find(expected), std::string::npos) << expected << " not in " << reader << ":\n" << listing;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, BundlePackerTest, ::testing::Values("zip", "pkg", "dmg"));

TEST(BundlePackerErrors, RefusesAFolderThatIsNoBundle) {
  TempDir dir("pack");
  fs::create_directories(dir / "Plain.app");
  EXPECT_THROW(packBundle(dir / "Plain.app", PackageFormat::zip, dir / "x.zip"), std::runtime_error);
  EXPECT_FALSE(packageFormatNamed("iso"));
}

}  // namespace
}  // namespace installer::publish
