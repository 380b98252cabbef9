// The install coordinator: runs one installation from the first check to
// the installed application (system check, installed and running copies,
// package link, download or cached package, verification, unpacking, copy
// into place) and tells its owner what happened through eight callbacks.
//
// Ownership and threads:
//  - Create it with `create` (it lives in a shared_ptr); the owner (the
//    view model) sets the callbacks and calls `start` on the main thread.
//  - Every step runs on the private serial queue "installer.coordinator",
//    one run at a time; the queue blocks while a step waits (link, download,
//    copy, the user's answer).
//  - Callbacks are posted to the main executor and hold the coordinator
//    weakly: once the owner has let go of it, nothing more is delivered.
//    Only `onNeedsInstallDirectory` is a synchronous hop to the main thread.
//  - Each run ends with exactly one of onFailure, onAlreadyInstalled,
//    onUpdateAvailable, onTargetRunning or onInstalled.
//  - Destroying the coordinator stops a running download, waits for the
//    current step of a run to end (a link check or a copy may take a
//    while), then removes the working directory. Destroy it on the main
//    thread or any thread other than its queue.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/app_config.h"
#include "install/install_steps.h"
#include "install/install_types.h"
#include "install/package_cache.h"
#include "network/downloader.h"
#include "network/package_link_resolver.h"
#include "platform/dispatch.h"
#include "telemetry/reporter.h"

namespace installer {

class InstallCoordinator : public std::enable_shared_from_this<InstallCoordinator> {
 public:
  // What the coordinator runs on and talks to besides its steps.
  struct Environment {
    // Where callbacks are delivered. Required; must outlive the coordinator.
    platform::MainExecutor* mainExecutor = nullptr;
    // Receives the install and download events; must outlive the
    // coordinator. Null = Reporter::shared().
    Reporter* reporter = nullptr;
    // The installer's own bundle identifier; names the package cache
    // directory below the application-support directory.
    std::string installerBundleIdentifier;
    // Replaces the package cache directory (tests).
    std::optional<std::filesystem::path> cacheDirectory;
    // HTTP stack, CA bundle, limits and clock of every download.
    Downloader::Options downloader;
    // Delays of the automatic resumes of a download cut by a transient
    // failure (see PackageDownloadStep::Options::retryDelays).
    std::vector<std::chrono::milliseconds> downloadRetryDelays = {
        std::chrono::seconds(1), std::chrono::seconds(2), std::chrono::seconds(4)};
    // Free space on the volume of a path; the file system's figure when
    // unset. Absent = unknown (the space check passes).
    std::function<std::optional<std::int64_t>(const std::filesystem::path&)> availableCapacity;
    // How long the update decision waits for a link still being fetched.
    platform::Duration updatePromptWait = std::chrono::seconds(3);
  };

  // A coordinator with its working directory "qx-installer-<UUID>" in the
  // temporary directory (created now; a failure shows up later) and its
  // install directory: the configured override, else /Applications.
  static std::shared_ptr<InstallCoordinator> create(AppConfig config, InstallSteps steps,
                                                    Environment environment);
  // The same with the real steps (unarchiver, application installer)
  // bound to `resolver`; when it is null, to a new resolver built from
  // `config` with a new CurlCheckUpdateTransport that trusts the
  // downloads' CA bundle and reports to `environment.reporter`.
  static std::shared_ptr<InstallCoordinator> create(AppConfig config,
                                                    std::shared_ptr<PackageLinkResolver> resolver,
                                                    Environment environment);
  ~InstallCoordinator();
  InstallCoordinator(const InstallCoordinator&) = delete;
  InstallCoordinator& operator=(const InstallCoordinator&) = delete;

  // Resets the per-run state and queues a run; returns at once. Main
  // thread; not while a run is busy. `skipInstalledCheck` is true for an
  // update or a reinstall.
  void start(bool skipInstalledCheck);
  // Stops a running download (the run then ends with `cancelled`); a run
  // that is verifying, unpacking or installing finishes that work. Any
  // thread.
  void cancel();

  // Where the application goes. Any thread; replace it only between runs.
  std::filesystem::path installDirectory() const;
  void setInstallDirectory(const std::filesystem::path& directory);
  const std::filesystem::path& workingDirectory() const { return workingDirectory_; }

  // The callbacks, all called on the main thread. Set them before `start`;
  // an unset one is skipped.
  std::function<void(InstallStage)> onStage;
  std::function<void(const TransferProgress&)> onProgress;
  std::function<void(const std::filesystem::path& installedApplication)> onInstalled;
  std::function<void(const InstallFailure&)> onFailure;
  std::function<void(const std::filesystem::path& installedCopy)> onAlreadyInstalled;
  std::function<void(const std::filesystem::path& installedCopy, const std::string& installedVersion,
                     const std::string& latestVersion)>
      onUpdateAvailable;
  std::function<void(const std::filesystem::path& application)> onTargetRunning;
  // Asks for another install directory; absent = no answer.
  std::function<std::optional<std::filesystem::path>(const std::string& message)>
      onNeedsInstallDirectory;

 private:
  struct Passkey {};

 public:
  InstallCoordinator(Passkey, AppConfig config, InstallSteps steps, Environment environment);

 private:
  void run(bool skipInstalledCheck);
  std::filesystem::path download(const PackageLink& link);
  void verifyAndUnpack(const std::filesystem::path& package);
  std::filesystem::path install();
  std::filesystem::path copyIntoPlace(const std::filesystem::path& directory);
  [[noreturn]] void failInstall(const std::string& description, bool permissionDenied);
  std::optional<std::filesystem::path> askForInstallDirectory(const std::string& message);
  void runPayloadCleanup();
  void checkAbandoned() const;

  // Posts `deliver(*this)` to the main thread, holding the coordinator
  // weakly.
  void post(std::function<void(InstallCoordinator&)> deliver);
  void postFailure(InstallFailure failure);

  const AppConfig config_;
  const InstallSteps steps_;
  const Environment env_;
  std::filesystem::path workingDirectory_;
  std::atomic<bool> abandoned_{false};  // set by the destructor

  mutable std::mutex mu_;  // guards installDirectory_
  std::filesystem::path installDirectory_;

  // Work queue only.
  std::unique_ptr<PackageDownloadStep> downloadStep_;
  std::optional<UnpackedPackage> payload_;
  std::optional<PackageLink> resolvedLink_;

  std::unique_ptr<platform::SerialQueue> workQueue_;  // last: joined first
};

}  // namespace installer
