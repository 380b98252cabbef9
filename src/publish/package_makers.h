// The package makers: ZIP archives, flat installer packages (xar around a
// cpio Payload) and disk images (an HFS+ volume made by xorriso, wrapped as
// a flat UDIF image), written from a list of entries or from a tree on disk.
// `installer-publish pack` and the tests build on them; the tests also make
// hostile archives here, whose entries try to leave their destination.
//
//   writeArchive(dir / "Demo.zip", ArchiveFormat::zip, entriesFromTree(dir / "src"));
//   makeDiskImage(dir / "src", "Demo", dir / "Demo.dmg", UdifChunks::zlib);
//
// Everything here runs real tools (xorriso) or libarchive and throws
// std::runtime_error when something cannot be made. Any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "publish/udif_writer.h"

namespace installer::publish {

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
  std::int64_t mtime = 1700000000;  // seconds since 1970
};

enum class ArchiveFormat { zip, cpioOdc, cpioOdcGzip, xar, tar };

// The entries of the tree below `root` (names relative to it, prefixed by
// `prefix` when given), directories before their contents, symlinks kept
// as links, modes and modification times as on disk.
std::vector<ArchiveEntry> entriesFromTree(const std::filesystem::path& root,
                                          const std::string& prefix = "");

// `s` with "&", "<" and ">" escaped for XML text and attribute values
// in double quotes.
std::string xmlEscape(const std::string& s);

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

// A flat component package as pkgbuild makes it: PackageInfo (identifier,
// version, install location), Bom and the gzip'd cpio Payload of `payload`,
// whose names start with "./".
void makeComponentPackage(const std::filesystem::path& pkg, const std::vector<ArchiveEntry>& payload,
                          const std::string& identifier, const std::string& version,
                          const std::string& installLocation);

// A PackageInfo document naming `installLocation`.
std::string packageInfo(const std::string& installLocation, const std::string& identifier = "com.example.pkg",
                        const std::string& version = "1.0");

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

// A disk image as vendors ship one: an HFS+ volume named `volumeName`
// holding `bundle` (modes as on disk) and an "Applications" link to
// /Applications, in a compressed UDIF image.
void makeApplicationDiskImage(const std::filesystem::path& bundle, const std::string& volumeName,
                              const std::filesystem::path& dmg, UdifChunks chunks = UdifChunks::zlib);

}  // namespace installer::publish
