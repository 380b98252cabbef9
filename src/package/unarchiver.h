// The package unarchiver: turns a verified package file (disk image, ZIP
// archive or flat installer package, chosen by extension) into an
// application bundle on disk, with a clean-up action that undoes the
// unpacking.
//
// Everything runs synchronously on the caller's thread (the install
// coordinator's work queue) and blocks it while the external tools run;
// there is no time limit. No state is kept between calls.
#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "package/tool_runner.h"

namespace installer {

// A failure of the unpacking itself. Every case carries a detail text; the
// description is a fixed prefix followed directly by the detail.
class UnarchiveError : public std::exception {
 public:
  enum class Case { unsupported, mountFailed, notarizationRejected, extractFailed, noApplicationFound };

  UnarchiveError(Case kind, std::string detail);
  Case kind() const { return kind_; }
  const std::string& detail() const { return detail_; }
  // "unsupported package format: ", "Can't mount DMG: ",
  // "signature check failed: ", "extract failed: " or
  // "No application found: " followed by the detail.
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  Case kind_;
  std::string detail_;
  std::string description_;
};

// The bundle found in an unpacked package. The caller owns the record, keeps
// it while it needs the tree under `applicationURL`, then runs `cleanup`
// once (it ignores every error; running it again is harmless).
struct UnarchivedPayload {
  std::filesystem::path applicationURL;
  std::function<void()> cleanup;
};

// Unpacks `archive` inside `workingDirectory` (directories "mnt-", "unzip-",
// "pkg-", "payload-" + UUID) and finds the first application bundle in it
// (see `findApplications`). An installer package is read as
// installer_package.h describes; an image or ZIP that holds no bundle but
// exactly one flat installer package yields that package's bundle.
// Throws UnarchiveError; a std::filesystem::filesystem_error when a
// directory cannot be created; the std::system_error of `runTool` when a
// tool (other than the assessment and the detach) cannot be started.
// An installer package's payload is unpacked with `cpio -idm`, plus
// `--no-absolute-filenames` when the shell's cpio is GNU cpio (asked once
// per shell; other cpio programs refuse the option and are safe without
// it), after `payloadIsUnpackable` has accepted it.
// A failure leaves nothing in `workingDirectory`: every directory made is
// removed (a mount point only when empty) and an attached image detached.
// No unpacking leaves less than the free-space reserve of
// extract/space_reserve.h on the working directory's volume: one that
// would fails as an extraction or mount failure.
UnarchivedPayload unarchivePackage(const std::filesystem::path& archive,
                                   const std::filesystem::path& workingDirectory,
                                   const PackageTools& tools);
UnarchivedPayload unarchivePackage(const std::filesystem::path& archive,
                                   const std::filesystem::path& workingDirectory);

// Depth-first search for application bundles: real directories named
// "*.app" (any case) that hold a real "Contents" directory, starting with
// depth 0 at `directory` and going no deeper than depth 2. Entries are
// visited in listing order; hidden entries are skipped; a found bundle is
// not searched; symbolic links are neither reported nor followed. Never
// fails.
void findApplications(const std::filesystem::path& directory, int depth,
                      std::vector<std::filesystem::path>& results);

// Detaches the image mounted at `mountPoint` ("hdiutil detach DIR -force")
// and removes the mount point. Ignores every error.
void detachImage(const std::filesystem::path& mountPoint, const PackageTools& tools);
void detachImage(const std::filesystem::path& mountPoint);

// Checks an installer package's payload (a cpio archive, plain or gzip,
// bzip2 or xz compressed) before it is unpacked into `destination`: false when an entry has an
// absolute name, a ".." component, or lies below an earlier symbolic-link
// entry, when the archive cannot be read, or when its contents would leave
// less than the free-space reserve (extract/space_reserve.h) on the
// destination's volume. Symbolic links themselves may point anywhere.
bool payloadIsUnpackable(const std::filesystem::path& payload, const std::filesystem::path& destination);

}  // namespace installer
