// Real packages for tests: application bundles on disk, and the package
// makers of `installer-publish` (publish/package_makers.h) under the names
// the tests use.
//
//   auto app = writeAppBundle(dir / "src", "Demo.app", {.identifier = "com.example.demo"});
//   writeArchive(dir / "Demo.zip", ArchiveFormat::zip, entriesFromTree(dir / "src"));
//   makeDiskImage(dir / "src", "Demo", dir / "Demo.dmg");
//
// Everything here runs real tools or libarchive and throws
// std::runtime_error when something cannot be made. Any thread.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "publish/package_makers.h"
#include "publish/udif_writer.h"

namespace installer::testing {

using publish::appleDouble;
using publish::ArchiveEntry;
using publish::ArchiveFormat;
using publish::base64ForPlist;
using publish::ComponentPackage;
using publish::entriesFromTree;
using publish::makeDiskImage;
using publish::makeHFSVolume;
using publish::makeInstallerPackage;
using publish::makeProductArchive;
using publish::packageInfo;
using publish::PayloadNaming;
using publish::UdifChunks;
using publish::UdifPartition;
using publish::writeArchive;
using publish::writeFlatUDIF;
using publish::writeUDIF;

struct AppBundleSpec {
  std::string identifier = "com.example.demo";
  std::optional<std::string> shortVersion = "1.0";
  std::string executable = "demo";
  // The executable's text; a shell script by default that stays running
  // until terminated (for the running-instance tests) when `stayRunning`.
  std::optional<std::string> script;
  bool stayRunning = false;
  // Extra regular files written under Contents/Resources, name -> size.
  std::vector<std::pair<std::string, std::size_t>> resources;
};

// Writes `parent/name` (".app") with Contents/Info.plist (XML),
// Contents/MacOS/<executable> (mode 755) and a relative symlink
// Contents/Current -> MacOS. Returns the bundle path.
std::filesystem::path writeAppBundle(const std::filesystem::path& parent, const std::string& name,
                                     const AppBundleSpec& layout = {});

// Writes an Info.plist dictionary of string values.
void writeInfoPlist(const std::filesystem::path& file,
                    const std::vector<std::pair<std::string, std::string>>& values);

// The helpers directory of the build under test (INSTALLER_TEST_HELPERS_DIR).
std::filesystem::path testHelpersDirectory();

// A fresh directory below the system's temporary directory, removed (with
// everything in it) when the object goes away.
class TempDir {
 public:
  explicit TempDir(const std::string& label = "pkgtest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes `text` to `file` (creating parents) and sets `mode`.
void writeFile(const std::filesystem::path& file, const std::string& text, mode_t mode = 0644);
std::string readFile(const std::filesystem::path& file);
// `size` pseudo-random bytes, the same for the same `seed`.
std::string randomBytes(std::size_t size, unsigned seed);

}  // namespace installer::testing
