// The application installer: puts an unpacked application bundle into the
// install directory (directly when it can, else through a privileged shell
// script) with copy progress, and the quarantine removal after it.
//
// A bundle already at the destination is replaced only once the new copy is
// complete: the copy goes to a hidden staging name beside the destination
// (".<Name>.app.qx-staging") and is then swapped into place, so a failed or
// interrupted copy leaves the installed application as it was.
//
// Everything runs synchronously on the caller's thread (the install
// coordinator's work queue), including the password dialog and the
// privileged runner's polling. The progress action runs on the watcher's
// queue, never on the caller's thread.
#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>

#include "package/copy_progress.h"
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

// What the installer uses; the defaults are the real ones.
struct AppInstallerOptions {
  PrivilegedRunnerOptions privileged;
  double privilegedTimeLimit = 300;  // seconds
  platform::Duration progressInterval = std::chrono::milliseconds(500);
  // Decides whether the direct copy is tried; empty: the directory is
  // writable by this process.
  std::function<bool(const std::filesystem::path& directory)> canWriteDirectly;
  // The direct copy of a tree; empty: copyTree. Tests make it fail.
  std::function<void(const std::filesystem::path& from, const std::filesystem::path& to)> directCopy;
};

// The hidden name beside `destination` that a copy is written to before it
// is swapped into place.
std::filesystem::path stagingPathFor(const std::filesystem::path& destination);

// Copies `source` into `installDirectory` under its own name; returns the
// installed bundle's path. Tries the direct copy when the directory is
// writable, and on any failure of it (or when not writable) the privileged
// copy. Throws AppInstallError (or an error of the privileged runner's
// platform layer passed up). With `progress`, reports copy progress and,
// after success, (total, total).
std::filesystem::path installApplication(const std::filesystem::path& source,
                                         const std::filesystem::path& installDirectory,
                                         CopyProgressHandler progress = {},
                                         const AppInstallerOptions& options = {});

// The direct copy: stage, then swap into place. Throws
// AppInstallError::copyFailed for a failed copy, std::filesystem::
// filesystem_error when the staging name cannot be cleared or the swap fails.
std::filesystem::path copyUnprivileged(const std::filesystem::path& source,
                                       const std::filesystem::path& destination,
                                       const AppInstallerOptions& options = {});

// The same through one root shell script (mkdir, staging copy, chmod, swap).
// Throws AppInstallError: authorizationCancelled; permissionDenied with the
// runner's description, or "privileged copy exited with status <n>";
// copyFailed "refusing to replace <path>" for the root directory and
// "copy did not produce <path>".
std::filesystem::path copyPrivileged(const std::filesystem::path& source,
                                     const std::filesystem::path& destination,
                                     const AppInstallerOptions& options = {});

// The script `copyPrivileged` runs, exposed for tests.
std::string privilegedCopyScript(const std::filesystem::path& source,
                                 const std::filesystem::path& destination);

// Runs "xattr -dr com.apple.quarantine <bundle>"; ignores every failure
// (there is no such tool on Linux).
void removeQuarantine(const std::filesystem::path& bundle, const PackageTools& tools);
void removeQuarantine(const std::filesystem::path& bundle);

}  // namespace installer
