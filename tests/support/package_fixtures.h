// Real packages for tests: application bundles on disk, ZIP archives,
// flat installer packages (xar around a cpio Payload) and disk images
// (an HFS+ volume made by xorriso, wrapped as a flat UDIF image), plus
// hostile archives whose entries try to leave their destination.
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

#include "support/udif_writer.h"

namespace installer::testing {

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

struct ArchiveEntry {
  enum class Kind { file, directory, symlink, hardlink };
  ArchiveEntry() = default;
  ArchiveEntry(std::string path, Kind kind = Kind::file, std::string data = "", std::string target = "",
               mode_t mode = 0644)
      : path(std::move(path)), kind(kind), data(std::move(data)), target(std::move(target)), mode(mode) {}
  std::string path;    // as stored; may be hostile ("../x", "/abs")
  Kind kind = Kind::file;
  std::string data;    // file contents
  std::string target;  // symlink / hard-link target
  mode_t mode = 0644;
};

enum class ArchiveFormat { zip, cpioOdc, cpioOdcGzip, xar, tar };

// The entries of the tree below `root` (names relative to it, prefixed by
// `prefix` when given), directories before their contents, symlinks kept.
std::vector<ArchiveEntry> entriesFromTree(const std::filesystem::path& root,
                                          const std::string& prefix = "");

// Writes `entries` as an archive with libarchive (xar without compression).
// Names are UTF-8 whatever the locale; ZIP marks them so, as Python's
// zipfile and 7-Zip do.
void writeArchive(const std::filesystem::path& file, ArchiveFormat format,
                  const std::vector<ArchiveEntry>& entries);

// A flat installer package: a xar holding "Distribution" and the payload
// (a cpio archive of `payload`) as "Payload.gz" (gzip'd), "Payload" (plain),
// both (the plain one then unreadable), or a gzip'd cpio named "Payload" as
// packages made by Apple's tools carry it.
// `container` adds entries beside them (resources, component packages).
enum class PayloadNaming { gzipped, plain, both, gzippedAsPayload };
void makeInstallerPackage(const std::filesystem::path& pkg, const std::vector<ArchiveEntry>& payload,
                          PayloadNaming naming = PayloadNaming::gzipped,
                          const std::vector<ArchiveEntry>& container = {});

// A component of a product archive: "name.pkg/" holding a PackageInfo
// with `installLocation` (no attribute when empty) and the gzip'd cpio
// Payload of `payload`.
struct ComponentPackage {
  std::string name;
  std::string installLocation;
  std::vector<ArchiveEntry> payload;
};

// A product archive as productbuild makes it: a Distribution whose
// pkg-refs name the components in `order` (their names, percent-encoded),
// and the components, stored in the order given.
void makeProductArchive(const std::filesystem::path& pkg, const std::vector<ComponentPackage>& components,
                        const std::vector<std::string>& order);

// A PackageInfo document naming `installLocation`.
std::string packageInfo(const std::string& installLocation);

// An AppleDouble file as macOS writes it into a ZIP's "__MACOSX/" tree:
// 32 bytes of Finder information followed by the attribute list
// `attributes` (name, value), and the resource fork.
std::string appleDouble(const std::string& finderInfo, const std::string& resourceFork,
                        const std::vector<std::pair<std::string, std::string>>& attributes);

// An HFS+ volume named `volumeName` holding the tree below `root`
// (xorriso -as mkisofs -r -hfsplus), as the bytes of its partition.
std::string makeHFSVolume(const std::filesystem::path& root, const std::string& volumeName);

// A disk image of the tree below `root`: the HFS+ volume above wrapped as
// the only partition of a flat UDIF image (see udif_writer.h for images of
// several partitions).
void makeDiskImage(const std::filesystem::path& root, const std::string& volumeName,
                   const std::filesystem::path& dmg, UdifChunks chunks = UdifChunks::raw);

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
