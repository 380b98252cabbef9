// The packages made on macOS in ../shared/samples, each unpacked through
// the real stand-ins as its README row says. A bundle's tree is compared
// with the package's own contents as 7-Zip and bsdtar extract them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "extract/stream_unpacker.h"
#include "package/installer_package.h"
#include "package/tool_runner.h"
#include "package/unarchiver.h"
#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

fs::path samplesDirectory() { return fs::path(INSTALLER_SOURCE_DIR).parent_path() / "shared" / "samples"; }

enum class Expect { bundle, noApplication, encrypted, noApplicationOrMountFailure };

struct Row {
  const char* file;
  Expect expect;
  const char* bundle = "";
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.file; }

const Row kRows[] = {
    {"sparkle-udbz-apm-hfs-app-sla.dmg", Expect::bundle, "SparkleTestCodeSignApp.app"},
    {"sparkle-udbz-gpt-apfs-app.dmg", Expect::bundle, "SparkleTestCodeSignApp.app"},
    {"sparkle-ulmo-gpt-apfs-with-pkg.dmg", Expect::bundle, "sparklepkgtest.app"},
    {"sparkle-encrypted-app-nolicense.dmg", Expect::encrypted},
    {"brew-udzo-gpt-hfs-app.dmg", Expect::bundle, "Transmission.app"},
    {"brew-udzo-gpt-apfs-onefile.dmg", Expect::noApplication},
    {"brew-udrw-raw-gpt-apfs.dmg", Expect::noApplicationOrMountFailure},
    {"dfvfs-udzo-gpt-hfs-symlink-xattr.dmg", Expect::noApplication},
    {"dmgwiz-udzo-apfs-empty.dmg", Expect::noApplication},
    {"dmgwiz-udbz-apfs-empty.dmg", Expect::noApplication},
    {"dmgwiz-ulfo-apfs-empty.dmg", Expect::noApplication},
    {"dmgwiz-encrypted-aes256.dmg", Expect::encrypted},
    {"dmgwiz-legacy-2003-apm-hfs-app.dmg", Expect::bundle, "SquidMan.app"},
    {"rtrouton-packagesapp-component-app.pkg", Expect::bundle, "beamoff.app"},
    {"rtrouton-pkgbuild-scripts-only.pkg", Expect::noApplication},
    {"rtrouton-pkgbuild-signed-nopayload.pkg", Expect::noApplication},
    {"sparkle-xar-cli-bzip2.pkg", Expect::bundle, "sparklepkgtest.app"},
    {"rtrouton-finder-app-macosx-iconrsrc.zip", Expect::bundle, "beamoff.app"},
    {"rtrouton-finder-folder-app-macosx.zip", Expect::bundle, "Keychain Minder.app"},
    {"rtrouton-finder-bundlepkg-symlinks-macosx.zip", Expect::noApplication},
    {"sparkle-ditto-app-framework-symlinks.zip", Expect::bundle, "SparkleTestCodeSignApp.app"},
    {"squirrel-ditto-app-3frameworks-symlinks.zip", Expect::bundle, "TestApplication 2.1.app"},
};

void run(const std::string& command) {
  // The exit status is not the point: bsdtar, for one, fails on the
  // Mac-only attributes it cannot restore after writing every file.
  if (std::system((command + " >/dev/null 2>&1").c_str()) == -1) ADD_FAILURE() << command;
}

bool hasExtension(const fs::path& p, const char* ext) {
  std::string e = p.extension().string();
  std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return std::tolower(c); });
  return e == ext;
}

// The package's own contents, as the standard tools extract them below
// `into`: 7-Zip for images and ZIPs (links kept as links), bsdtar for an
// installer package and for each payload in it, and for a package inside.
void extractReference(const fs::path& archive, const fs::path& into) {
  fs::create_directories(into);
  if (hasExtension(archive, ".pkg")) {
    fs::create_directories(into / "x");
    run("bsdtar --no-xattrs -xf " + shellQuote(archive.string()) + " -C " + shellQuote((into / "x").string()));
    int n = 0;
    for (const auto& e : fs::recursive_directory_iterator(into / "x")) {
      std::string name = e.path().filename().string();
      if (name != "Payload" && name != "Payload.gz") continue;
      fs::path out = into / ("payload" + std::to_string(n++));
      fs::create_directories(out);
      run("bsdtar --no-xattrs -xf " + shellQuote(e.path().string()) + " -C " + shellQuote(out.string()));
    }
    return;
  }
  // Links kept as links; alternate streams (attributes) not as files.
  run("7z x -snld -sns- -y -o" + shellQuote(into.string()) + " " + shellQuote(archive.string()));
  std::vector<fs::path> inner;
  for (const auto& e : fs::recursive_directory_iterator(into)) {
    if (fs::is_regular_file(e.symlink_status()) && hasExtension(e.path(), ".pkg")) inner.push_back(e.path());
  }
  for (std::size_t i = 0; i < inner.size(); ++i) extractReference(inner[i], into / ("inner" + std::to_string(i)));
}

fs::path findDirectoryNamed(const fs::path& root, const std::string& name) {
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().filename() == "__MACOSX") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->path().filename() == name && fs::is_directory(it->symlink_status())) return it->path();
  }
  return {};
}

// One line per entry below `bundle`: name, type, the owner's execute bit
// for files, the target for links (7-Zip roots absolute targets in its
// output directory; `referenceRoot` undoes that).
std::vector<std::string> describeTree(const fs::path& bundle, const fs::path& referenceRoot = {}) {
  std::vector<std::string> lines;
  for (const auto& e : fs::recursive_directory_iterator(bundle)) {
    struct stat st;
    if (lstat(e.path().c_str(), &st) != 0) continue;
    std::string line = e.path().lexically_relative(bundle).string();
    if (S_ISLNK(st.st_mode)) {
      std::string target = fs::read_symlink(e.path()).string();
      std::string rooted = referenceRoot.string();
      if (!rooted.empty() && target.rfind(rooted + "/", 0) == 0) target = target.substr(rooted.size());
      line += " -> " + target;
    } else if (S_ISDIR(st.st_mode)) {
      line += "/";
    } else if (st.st_mode & S_IXUSR) {
      line += " *";
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

class PackageSamplesTest : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    if (!fs::is_directory(samplesDirectory())) GTEST_SKIP() << "no samples at " << samplesDirectory();
    ASSERT_FALSE(testing::testHelpersDirectory().empty()) << "INSTALLER_TEST_HELPERS_DIR not set";
    tools = PackageTools::withHelpers(testing::testHelpersDirectory());
    tools.spctl = dir / "no-spctl";
    fs::create_directories(work);
  }

  TempDir dir;
  fs::path work = dir / "work";
  PackageTools tools;
};

TEST_P(PackageSamplesTest, IsHandledAsItsRowSays) {
  const Row& row = GetParam();
  fs::path sample = samplesDirectory() / row.file;
  ASSERT_TRUE(fs::exists(sample)) << sample;
  if (row.expect == Expect::bundle) {
    auto payload = unarchivePackage(sample, work, tools);
    EXPECT_EQ(payload.applicationURL.filename(), row.bundle);
    fs::path reference = dir / "reference";
    extractReference(sample, reference);
    fs::path expected = findDirectoryNamed(reference, row.bundle);
    ASSERT_FALSE(expected.empty()) << "the standard tools found no " << row.bundle;
    EXPECT_EQ(describeTree(payload.applicationURL), describeTree(expected, reference));
    payload.cleanup();

    // Unpacked as it downloads: the same bundle, or none (then the install
    // falls back to the serial way above).
    const std::string extension = sample.extension().string();
    if (extension == ".zip" || extension == ".pkg") {
      helpers::StreamUnpacker stream(dir / "streamed", extension == ".zip" ? helpers::StreamFormat::zip
                                                                          : helpers::StreamFormat::flatPackage);
      std::ifstream in(sample, std::ios::binary);
      std::vector<char> buffer(300'000);
      while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        stream.feed(buffer.data(), static_cast<std::size_t>(in.gcount()));
      }
      std::string error;
      ASSERT_TRUE(stream.finish(&error)) << error;
      if (auto streamed = bundleOfStreamedPackage(dir / "streamed", extension == ".pkg")) {
        EXPECT_EQ(streamed->filename(), row.bundle);
        EXPECT_EQ(describeTree(*streamed), describeTree(expected, reference));
      }
    }
  } else {
    try {
      unarchivePackage(sample, work, tools).cleanup();
      ADD_FAILURE() << "a bundle came out of " << row.file;
    } catch (const UnarchiveError& e) {
      switch (row.expect) {
        case Expect::noApplication:
          EXPECT_EQ(e.kind(), UnarchiveError::Case::noApplicationFound) << e.description();
          break;
        case Expect::encrypted:
          EXPECT_EQ(e.kind(), UnarchiveError::Case::mountFailed) << e.description();
          EXPECT_NE(e.description().find("encrypted"), std::string::npos) << e.description();
          break;
        default:
          EXPECT_TRUE(e.kind() == UnarchiveError::Case::noApplicationFound ||
                      e.kind() == UnarchiveError::Case::mountFailed)
              << e.description();
      }
    }
  }
  EXPECT_TRUE(fs::is_empty(work)) << "left behind in the working directory";
}

INSTANTIATE_TEST_SUITE_P(Samples, PackageSamplesTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           std::string name = info.param.file;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace installer
