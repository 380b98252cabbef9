// The application installer: puts an unpacked application bundle into the
// install directory (directly when the user can write there, else through a
// privileged shell script) with copy progress, writes the desktop entry
// that lets the desktop find it, and removes the quarantine after it.
//
// The source must be a real directory, not a symbolic link. A bundle
// already at the destination is replaced only once the new copy is
// complete: the copy goes to a staging folder of random name beside the
// destination, its modes are normalised (no setuid, setgid or sticky bits,
// no group or other write, everything readable, directories and programs
// searchable), and only then is it swapped into place, so a failed or
// interrupted copy leaves the installed application as it was.
//
// Administrator rights are asked for only when the user cannot write the
// install directory, and never for a directory that, or any folder above
// it, someone other than root could change. What runs as root is our own
// `install-helper` (install_helper.h): it reads the bundle as the user,
// stages a root-owned copy with normalised modes, checks the way in again
// itself, swaps the copy into place and writes the system desktop entry.
//
// Everything runs synchronously on the caller's thread (the install
// coordinator's work queue), including the password dialog and the wait for
// the install helper. The progress action runs on the watcher's queue, never on
// the caller's thread, except the one final report of a moved bundle.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "package/copy_progress.h"
#include "package/desktop_entry.h"
#include "package/privileged_task.h"
#include "package/tool_runner.h"

namespace installer {

class AppInstallError : public std::exception {
 public:
  enum class Case { permissionDenied, copyFailed, targetRunning, authorizationCancelled };

  static AppInstallError permissionDenied(std::string text);
  static AppInstallError copyFailed(std::string text);
  static AppInstallError targetRunning(std::string productName);
  static AppInstallError authorizationCancelled();

  Case kind() const { return kind_; }
  // The text of permissionDenied and copyFailed; the product name of
  // targetRunning; "" otherwise.
  const std::string& payload() const { return payload_; }
  // The text itself; "Please exit the <name> before reinstalling.";
  // "authorization was cancelled".
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  AppInstallError(Case kind, std::string payload, std::string description)
      : kind_(kind), payload_(std::move(payload)), description_(std::move(description)) {}
  Case kind_;
  std::string payload_;
  std::string description_;
};

// Writes the desktop entry of the bundle that is (or will be) at
// `installedBundle` into the data directory `dataDir`; writeDesktopEntry's
// contract.
using DesktopEntryWriter = std::function<std::optional<DesktopEntryFiles>(
    const std::filesystem::path& installedBundle, const std::filesystem::path& dataDir)>;

// What the installer uses; the defaults are the real ones.
struct AppInstallerOptions {
  PrivilegedRunnerOptions privileged;
  double privilegedTimeLimit = 300;  // seconds
  platform::Duration progressInterval = std::chrono::milliseconds(500);
  // Decides whether the direct copy is made; empty: the directory (or the
  // nearest existing folder above it) is writable by this process.
  std::function<bool(const std::filesystem::path& directory)> canWriteDirectly;
  // The direct copy of a tree; empty: copyTree. Tests make it fail.
  std::function<void(const std::filesystem::path& from, const std::filesystem::path& to)> directCopy;
  // Why administrator rights must not be asked for to install into
  // `directory`; empty: elevationRefusal(directory, 0).
  std::function<std::optional<std::string>(const std::filesystem::path& directory)> elevationGuard;
  // The administrator step's program; empty: the one in this program's
  // bundle (PackageTools::standard()).
  std::filesystem::path installHelper;
  // The desktop entry after a successful install; none when empty. A
  // system install's entry is written by the administrator step itself.
  DesktopEntryWriter desktopEntryWriter;
  // Where a per-user install's entry goes; empty: userDataDir().
  std::filesystem::path userDataDirectory;
  // Where the administrator step writes a system install's entry.
  std::filesystem::path systemDataDirectory = "/usr/local/share";
  // Data folders whose entries a system install's must not replace,
  // besides the standard ones.
  std::vector<std::filesystem::path> otherDataDirectories;
};

// Why `directory` is no place to install into with administrator rights:
// the text naming the nearest existing folder at or above it (up to
// `top`) that a user other than `trustedUser` may change (owned by another
// user and writable by it, or writable by a group other than 0 or by
// everyone, or not inspectable). Absent when there is none.
std::optional<std::string> elevationRefusal(const std::filesystem::path& directory,
                                            uid_t trustedUser,
                                            const std::filesystem::path& top = "/");

// Copies `source` into `installDirectory` under its own name; returns the
// installed bundle's path. Refuses an install directory that
// installDirectoryProblem faults (copyFailed "refusing to install into
// <path>: <why>"). Copies directly when the directory is writable (a
// failure is the install's failure), else through the privileged copy.
// Throws AppInstallError (or an error of the privileged runner's platform
// layer passed up). With `progress`, reports copy progress and, after
// success, (total, total). After success writes the desktop entry when a
// writer is set (a failure of it is logged, never the install's).
// With `moveSource` (a tree the caller staged and gives up), a direct
// install on the source's own volume moves the bundle into the staging
// folder by one rename instead of copying it; `source` is then gone.
std::filesystem::path installApplication(const std::filesystem::path& source,
                                         const std::filesystem::path& installDirectory,
                                         CopyProgressHandler progress = {},
                                         const AppInstallerOptions& options = {},
                                         bool moveSource = false);

// The direct copy: stage, normalise, then swap into place. Throws
// AppInstallError::copyFailed for a source that is not a real directory and
// a failed copy, std::filesystem::filesystem_error when the staging folder
// cannot be made or the swap fails.
std::filesystem::path copyUnprivileged(const std::filesystem::path& source,
                                       const std::filesystem::path& destination,
                                       const AppInstallerOptions& options = {},
                                       CopyProgressHandler progress = {}, bool moveSource = false);

// The same through the administrator step. Throws AppInstallError:
// authorizationCancelled; permissionDenied with the runner's description
// (also when the step ran out of time), with the guard's refusal, or
// "privileged copy exited with status <n>"; copyFailed "refusing to replace
// <path>" for the root directory and "copy did not produce <path>" when no
// real directory is at the destination.
std::filesystem::path copyPrivileged(const std::filesystem::path& source,
                                     const std::filesystem::path& destination,
                                     const AppInstallerOptions& options = {});

// Clears setuid, setgid and sticky bits and group and other write, adds
// owner write, read for all and search for all on directories and on files
// someone may run, on every entry below and at `root` but symbolic links,
// which are never followed. Throws std::filesystem::filesystem_error.
void normaliseModes(const std::filesystem::path& root);

// Runs "xattr -dr com.apple.quarantine <bundle>"; ignores every failure
// (there is no such tool on Linux).
void removeQuarantine(const std::filesystem::path& bundle, const PackageTools& tools);
void removeQuarantine(const std::filesystem::path& bundle);

}  // namespace installer
