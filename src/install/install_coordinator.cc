#include "install/install_coordinator.h"

#include <system_error>

#include "install/real_install_steps.h"
#include "package/integrity.h"
#include "platform/localization.h"
#include "platform/system_info.h"

namespace installer {
namespace {

// Ends a run silently once the owner has let go of the coordinator.
struct Abandoned {};

constexpr auto kHopPoll = std::chrono::milliseconds(50);

void ensureDirectory(const std::filesystem::path& directory) {
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
}

}  // namespace

std::shared_ptr<InstallCoordinator> InstallCoordinator::create(AppConfig config, InstallSteps steps,
                                                               Environment environment) {
  if (!environment.reporter) environment.reporter = &Reporter::shared();
  return std::make_shared<InstallCoordinator>(Passkey{}, std::move(config), std::move(steps),
                                              std::move(environment));
}

std::shared_ptr<InstallCoordinator> InstallCoordinator::create(
    AppConfig config, std::shared_ptr<PackageLinkResolver> resolver, Environment environment) {
  RealInstallStepsOptions options;
  options.resolver = std::move(resolver);
  options.transport.caBundlePath = environment.downloader.caBundlePath;
  if (Reporter* reporter = environment.reporter) {
    options.resolverDependencies.report = [reporter](const ReportEvent& event) {
      reporter->report(event);
    };
  }
  InstallSteps steps = makeRealInstallSteps(config, std::move(options));
  return create(std::move(config), std::move(steps), std::move(environment));
}

InstallCoordinator::InstallCoordinator(Passkey, AppConfig config, InstallSteps steps,
                                       Environment environment)
    : config_(std::move(config)),
      steps_(std::move(steps)),
      env_(std::move(environment)),
      workQueue_(std::make_unique<platform::SerialQueue>("installer.coordinator")) {
  workingDirectory_ = platform::temporaryDirectory() / ("qx-installer-" + platform::makeUUID());
  ensureDirectory(workingDirectory_);
  installDirectory_ = config_.installDirectoryOverride
                          ? std::filesystem::path(*config_.installDirectoryOverride)
                          : platform::systemApplicationsDirectory();

  PackageDownloadStep::Options options;
  options.cacheDirectory = env_.cacheDirectory
                               ? env_.cacheDirectory
                               : packageCacheDirectory(env_.installerBundleIdentifier);
  options.workingDirectory = workingDirectory_;
  options.downloader = env_.downloader;
  options.reporter = env_.reporter;
  options.retryDelays = env_.downloadRetryDelays;
  downloadStep_ = std::make_unique<PackageDownloadStep>(std::move(options));
}

InstallCoordinator::~InstallCoordinator() {
  abandoned_.store(true);
  downloadStep_->cancel();
  // Lets the current step end; the run sees `abandoned_` and stops.
  workQueue_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(workingDirectory_, ignored);
}

void InstallCoordinator::start(bool skipInstalledCheck) {
  downloadStep_->resetCancel();
  std::weak_ptr<InstallCoordinator> weak = weak_from_this();
  // The queue is joined before the coordinator's members go away, so a run
  // may use `this` while the coordinator has not been let go of.
  workQueue_->async([this, weak, skipInstalledCheck] {
    if (weak.expired() || abandoned_.load()) return;
    resolvedLink_.reset();
    run(skipInstalledCheck);
  });
}

void InstallCoordinator::cancel() { downloadStep_->cancel(); }

std::filesystem::path InstallCoordinator::installDirectory() const {
  std::lock_guard lock(mu_);
  return installDirectory_;
}

void InstallCoordinator::setInstallDirectory(const std::filesystem::path& directory) {
  std::lock_guard lock(mu_);
  installDirectory_ = directory;
}

void InstallCoordinator::post(std::function<void(InstallCoordinator&)> deliver) {
  std::weak_ptr<InstallCoordinator> weak = weak_from_this();
  env_.mainExecutor->post([weak, deliver = std::move(deliver)] {
    if (auto self = weak.lock()) deliver(*self);
  });
}

void InstallCoordinator::postFailure(InstallFailure failure) {
  post([failure = std::move(failure)](InstallCoordinator& self) {
    if (self.onFailure) self.onFailure(failure);
  });
}

void InstallCoordinator::checkAbandoned() const {
  if (abandoned_.load()) throw Abandoned{};
}

void InstallCoordinator::run(bool skipInstalledCheck) {
  auto postStage = [this](InstallStage stage) {
    post([stage](InstallCoordinator& self) {
      if (self.onStage) self.onStage(stage);
    });
  };
  postStage(InstallStage::checking);
  try {
    if (!config_.supportsCurrentSystem()) {
      postFailure(failure::systemTooOld{});
      return;
    }
    if (!steps_.links->isConfigured()) {
      postFailure(failure::noDownloadURL{});
      return;
    }

    auto& installer = *steps_.installer;
    const std::filesystem::path directory = installDirectory();
    if (!skipInstalledCheck) {
      if (auto installed =
              installer.findInstalledApplication(config_.productID, config_.productVersion, {directory})) {
        std::filesystem::path copy = *installed;
        if (installer.isTargetRunning(config_.productID)) {
          post([copy](InstallCoordinator& self) {
            if (self.onTargetRunning) self.onTargetRunning(copy);
          });
          return;
        }
        std::string installedVersion = installer.installedVersion(copy);
        auto link = steps_.links->cachedLink(env_.updatePromptWait);
        checkAbandoned();
        if (link && link->version && installer.isUpdateAvailable(link->version, installedVersion)) {
          std::string latest = *link->version;
          post([copy, installedVersion, latest](InstallCoordinator& self) {
            if (self.onUpdateAvailable) self.onUpdateAvailable(copy, installedVersion, latest);
          });
          return;
        }
        post([copy](InstallCoordinator& self) {
          if (self.onAlreadyInstalled) self.onAlreadyInstalled(copy);
        });
        return;
      }
    }
    if (installer.isTargetRunning(config_.productID)) {
      auto found = installer.findInstalledApplication(config_.productID, config_.productVersion, {});
      std::filesystem::path target = found ? *found : directory / (config_.productName + ".app");
      post([target](InstallCoordinator& self) {
        if (self.onTargetRunning) self.onTargetRunning(target);
      });
      return;
    }

    LinkOutcome outcome = steps_.links->resolve();
    checkAbandoned();
    if (std::holds_alternative<std::monostate>(outcome)) throw FailureBox(failure::noDownloadURL{});
    if (auto* failed = std::get_if<LinkFailure>(&outcome)) {
      throw FailureBox(failure::checkUpdateFailed{failed->description});
    }
    resolvedLink_ = std::get<PackageLink>(outcome);

    std::filesystem::path package = download(*resolvedLink_);
    checkAbandoned();
    verifyAndUnpack(package);
    checkAbandoned();
    std::filesystem::path installed = install();

    runPayloadCleanup();
    postStage(InstallStage::finished);
    post([installed](InstallCoordinator& self) {
      if (self.onInstalled) self.onInstalled(installed);
    });
  } catch (const Abandoned&) {
    runPayloadCleanup();
  } catch (const FailureBox& box) {
    runPayloadCleanup();
    postFailure(box.failure());
  } catch (const std::exception& e) {
    runPayloadCleanup();
    postFailure(failure::installFailed{e.what()});
  } catch (...) {
    runPayloadCleanup();
    postFailure(failure::installFailed{"unknown error"});
  }
}

void InstallCoordinator::runPayloadCleanup() {
  if (!payload_) return;
  auto cleanup = std::move(payload_->cleanup);
  payload_.reset();
  if (!cleanup) return;
  try {
    cleanup();
  } catch (...) {
    // Clean-up failures are not the user's problem.
  }
}

std::filesystem::path InstallCoordinator::download(const PackageLink& link) {
  PackageDownloadStep::Hooks hooks;
  hooks.postStage = [this](InstallStage stage) {
    post([stage](InstallCoordinator& self) {
      if (self.onStage) self.onStage(stage);
    });
  };
  hooks.postProgress = [this](const TransferProgress& progress) {
    post([progress](InstallCoordinator& self) {
      if (self.onProgress) self.onProgress(progress);
    });
  };
  PackageExpectations expected;
  expected.md5 = link.md5 ? link.md5 : config_.packageMD5;
  expected.sha256 = link.sha256;
  expected.signature = link.signature;
  expected.signingKey = config_.packageSigningPublicKey;
  return downloadStep_->run(link.url, link.version, expected, hooks);
}

void InstallCoordinator::verifyAndUnpack(const std::filesystem::path& package) {
  post([](InstallCoordinator& self) {
    if (self.onStage) self.onStage(InstallStage::verifying);
  });
  std::optional<std::string> expected;
  if (!downloadStep_->checksumVerified()) {
    expected = resolvedLink_ && resolvedLink_->md5 ? resolvedLink_->md5 : config_.packageMD5;
  }
  try {
    verifyPackage(package, config_.packageSize, expected);
  } catch (const std::exception& e) {
    throw FailureBox(failure::verifyFailed{e.what()});
  }
  try {
    std::filesystem::path directory = installDirectory();
    auto available = env_.availableCapacity ? env_.availableCapacity(directory)
                                            : availableCapacity(directory);
    checkDiskSpace(fileSize(package), available);
  } catch (const std::exception& e) {
    throw FailureBox(failure::diskSpace{e.what()});
  }

  post([](InstallCoordinator& self) {
    if (self.onStage) self.onStage(InstallStage::mounting);
  });
  ensureDirectory(workingDirectory_);
  try {
    payload_ = steps_.unpacker->unarchivePackage(package, workingDirectory_);
  } catch (const std::exception& e) {
    std::string text = e.what();
    if (text.find("mount") != std::string::npos) throw FailureBox(failure::mountFailed{text});
    throw FailureBox(failure::extractFailed{text});
  }
}

std::filesystem::path InstallCoordinator::install() {
  post([](InstallCoordinator& self) {
    if (self.onStage) self.onStage(InstallStage::installing);
  });
  std::filesystem::path directory = installDirectory();
  env_.reporter->report(event::startInstallInfo{directory.string()});

  if (steps_.installer->isTargetRunning(config_.productID)) {
    std::string text = "Please exit the " + config_.productName + " before reinstalling.";
    env_.reporter->report(event::installFailedInfo{directory.string(), text});
    throw FailureBox(failure::installFailed{text});
  }
  ensureDirectory(directory);

  try {
    return copyIntoPlace(directory);
  } catch (const InstallStepError& e) {
    if (e.kind() != InstallStepError::Kind::authorizationCancelled) {
      failInstall(e.what(), e.kind() == InstallStepError::Kind::permissionDenied);
    }
  } catch (const FailureBox&) {
    throw;
  } catch (const std::exception& e) {
    failInstall(e.what(), false);
  }

  // The administrator prompt was refused: ask for a directory the user can
  // write to, and try once more there.
  checkAbandoned();
  auto answer = askForInstallDirectory(platform::localized(
      "Unable to install it to the application directory, please change the installation path."));
  checkAbandoned();
  std::filesystem::path second =
      answer ? *answer : platform::homeDirectory() / "Applications";
  setInstallDirectory(second);
  ensureDirectory(second);
  try {
    return copyIntoPlace(second);
  } catch (const InstallStepError& e) {
    failInstall(e.what(), e.kind() == InstallStepError::Kind::permissionDenied);
  } catch (const FailureBox&) {
    throw;
  } catch (const std::exception& e) {
    failInstall(e.what(), false);
  }
}

std::filesystem::path InstallCoordinator::copyIntoPlace(const std::filesystem::path& directory) {
  auto progress = [this](std::int64_t copied, std::int64_t total) {
    TransferProgress value;
    value.received = copied;
    value.expected = total;
    post([value](InstallCoordinator& self) {
      if (self.onProgress) self.onProgress(value);
    });
  };
  std::filesystem::path installed =
      steps_.installer->installApplication(payload_->applicationPath, directory, progress);
  try {
    steps_.installer->removeQuarantine(installed);
  } catch (...) {
    // Leaves the attribute; the application still runs after a prompt.
  }
  env_.reporter->report(event::installSuccessInfo{directory.string()});
  return installed;
}

void InstallCoordinator::failInstall(const std::string& description, bool permissionDenied) {
  env_.reporter->report(event::installFailedInfo{installDirectory().string(), description});
  if (permissionDenied) throw FailureBox(failure::permissionDenied{description});
  throw FailureBox(failure::installFailed{description});
}

std::optional<std::filesystem::path> InstallCoordinator::askForInstallDirectory(
    const std::string& message) {
  if (env_.mainExecutor->isMainThread()) {
    return onNeedsInstallDirectory ? onNeedsInstallDirectory(message) : std::nullopt;
  }
  struct Answer {
    platform::Semaphore done;
    std::optional<std::filesystem::path> directory;
  };
  auto answer = std::make_shared<Answer>();
  std::weak_ptr<InstallCoordinator> weak = weak_from_this();
  env_.mainExecutor->post([weak, answer, message] {
    if (auto self = weak.lock(); self && self->onNeedsInstallDirectory) {
      answer->directory = self->onNeedsInstallDirectory(message);
    }
    answer->done.signal();
  });
  // Not a plain runSync: a coordinator being destroyed on the main thread
  // would wait for this queue while this queue waits for the main thread.
  while (!answer->done.waitFor(kHopPoll)) {
    if (abandoned_.load()) return std::nullopt;
  }
  return answer->directory;
}

}  // namespace installer
