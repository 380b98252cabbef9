// The steps of an install run that other subsystems supply, seen from the
// install coordinator: the package link source, the package unpacker and
// the application installer. The coordinator owns these narrow interfaces;
// the real parts (the link resolver, the unarchiver, the application
// installer) are bound to them by small adapters, and tests bind fakes.
//
// Errors. Every step reports failure by throwing an exception derived from
// std::exception whose what() is the error's fixed English description (the
// text the user sees as the failure's detail). Two steps need more than the
// text:
//  - the link source returns a failed check as a value (LinkFailure) rather
//    than throwing, because "no link" and "check failed" are ordinary
//    outcomes of `resolve`;
//  - the application installer throws InstallStepError, which carries the
//    case of the installer's own error so that the coordinator can tell a
//    refused administrator prompt and a permission problem from other
//    failures.
// Anything else thrown by a step ends the run with `installFailed` carrying
// what().
//
// Threads: the coordinator calls every operation on its work queue
// ("installer.coordinator"), one at a time. Implementations may block.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "network/check_update.h"
#include "platform/dispatch.h"
#include "platform/url.h"

namespace installer {

// A failed update check; `description` is the check error's description
// ("HTTP 500", "server error: …").
struct LinkFailure {
  std::string description;
  bool operator==(const LinkFailure&) const = default;
};

// What `resolve` yields: nothing (no check configured, or no answer in
// time), the link (PackageLink: an https `url`, and the package's MD5 and
// version when the server sent them), or a failed check.
using LinkOutcome = std::variant<std::monostate, PackageLink, LinkFailure>;

// Source of the package link (the package link resolver).
class PackageLinkSource {
 public:
  virtual ~PackageLinkSource() = default;
  // True when an update check is configured. Never blocks.
  virtual bool isConfigured() const = 0;
  // The link of a finished, successful check; waits at most `wait` for a
  // check still running; never starts a check.
  virtual std::optional<PackageLink> cachedLink(platform::Duration wait) = 0;
  // The link, running or joining a check; blocks for at most the source's
  // own limit.
  virtual LinkOutcome resolve() = 0;
};

// The application found in an unpacked package and the action that undoes
// the unpacking (detach the image, remove temporary directories). The
// caller runs `cleanup` once, when it no longer needs `applicationPath`.
struct UnpackedPackage {
  std::filesystem::path applicationPath;  // the ".app" directory
  std::function<void()> cleanup;
};

// The package unarchiver.
class PackageUnpacker {
 public:
  virtual ~PackageUnpacker() = default;
  // Unpacks the verified package `archive` below `workingDirectory` (which
  // exists) and finds the application in it. Throws on failure; what() is
  // the description, and a description containing "mount" counts as a
  // disk image that could not be opened.
  virtual UnpackedPackage unarchivePackage(const std::filesystem::path& archive,
                                           const std::filesystem::path& workingDirectory) = 0;
};

// Failure of the application installer's copy, with the installer error's
// case. what() is the installer error's description.
class InstallStepError : public std::runtime_error {
 public:
  enum class Kind {
    permissionDenied,        // the description is the installer's own text
    copyFailed,
    targetRunning,
    authorizationCancelled,  // the user refused the administrator prompt
  };
  InstallStepError(Kind kind, const std::string& description)
      : std::runtime_error(description), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The application installer and the lookups around an installed copy.
class ApplicationInstallerSteps {
 public:
  // Copy progress: bytes copied so far and the total, on any thread.
  using CopyProgress = std::function<void(std::int64_t copied, std::int64_t total)>;

  virtual ~ApplicationInstallerSteps() = default;
  // An installed copy of `bundleIdentifier` at least `minimumVersion` in
  // the standard application directories and `extraDirectories`; absent
  // when none matches.
  virtual std::optional<std::filesystem::path> findInstalledApplication(
      const std::string& bundleIdentifier, const std::optional<std::string>& minimumVersion,
      const std::vector<std::filesystem::path>& extraDirectories) = 0;
  // True when an instance of `bundleIdentifier` other than this process
  // runs.
  virtual bool isTargetRunning(const std::string& bundleIdentifier) = 0;
  // The short version text of the bundle at `application`.
  virtual std::string installedVersion(const std::filesystem::path& application) = 0;
  // True when `latest` is present and newer than `installed`.
  virtual bool isUpdateAvailable(const std::optional<std::string>& latest,
                                 const std::string& installed) = 0;
  // Copies the bundle `source` into `installDirectory` (falling back to a
  // privileged copy) and returns the installed bundle's path. Throws
  // InstallStepError (any other exception counts as copyFailed).
  virtual std::filesystem::path installApplication(const std::filesystem::path& source,
                                                   const std::filesystem::path& installDirectory,
                                                   CopyProgress progress) = 0;
  // The same for a bundle the run staged and gives up: it may be moved
  // into place instead of copied (by one rename on its own volume).
  virtual std::filesystem::path placeStagedApplication(const std::filesystem::path& source,
                                                       const std::filesystem::path& installDirectory,
                                                       CopyProgress progress) {
    return installApplication(source, installDirectory, std::move(progress));
  }
  // Removes the quarantine attribute; never fails.
  virtual void removeQuarantine(const std::filesystem::path& application) = 0;
};

// The steps one coordinator uses; all three are required.
struct InstallSteps {
  std::shared_ptr<PackageLinkSource> links;
  std::shared_ptr<PackageUnpacker> unpacker;
  std::shared_ptr<ApplicationInstallerSteps> installer;
};

}  // namespace installer
