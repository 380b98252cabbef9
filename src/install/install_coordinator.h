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
//  - Destroying the coordinator never waits for a step: it stops a running
//    download and returns within about 50 ms (the grace it gives a run
//    that is just ending), on any thread other than its queue. When no run
//    is busy it also removes the working directory. A busy run is abandoned: its current step (a link
//    check, a tool, the privileged copy) finishes on the detached queue
//    thread, holding the run's state itself, posts nothing more and is
//    followed by no further step; the working directory and any attached
//    disk image stay behind.
//  - The main executor and the reporter must outlive every run, including
//    an abandoned one (the program's are process-wide); after destruction
//    nothing more is posted to the executor.
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

#include "config/app_config.h"
#include "install/install_steps.h"
#include "run_status/install_types.h"
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
  // temporary directory (a fresh folder made now, mode 0700; a failure
  // shows up later, as does one that is not a private folder of this user
  // by the time the package is unpacked) and its
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
  // Waits until the run in progress, if any, has ended, at most `timeout`
  // (after a cancel, the download step has then kept what a later run
  // resumes from). True when no run is left. Not on the coordinator's queue;
  // on the main thread it waits out `timeout` while the run asks there for
  // an install directory.
  bool settle(platform::Duration timeout);

  // Where the application goes. Any thread; replace it only between runs.
  std::filesystem::path installDirectory() const;
  void setInstallDirectory(const std::filesystem::path& directory);
  const std::filesystem::path& workingDirectory() const;

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
  // Everything a run touches, shared between the coordinator and its work
  // queue so that an abandoned run outlives the coordinator safely.
  class Run;

  std::shared_ptr<Run> run_;
  std::unique_ptr<platform::SerialQueue> workQueue_;
};

}  // namespace installer
