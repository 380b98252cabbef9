#include "install/install_coordinator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <stdexcept>
#include <system_error>

#include "install/real_install_steps.h"
#include "install/streamed_package.h"
#include "package/installer_package.h"
#include "package/unarchiver.h"
#include "proof/chunk_list.h"
#include "proof/integrity.h"
#include "proof/package_signature.h"
#include "platform/localization.h"
#include "platform/system_info.h"
#include "platform/system_log.h"

namespace installer {
namespace {

// Ends a run silently once the owner has let go of the coordinator.
struct Abandoned {};

constexpr auto kHopPoll = std::chrono::milliseconds(50);
// How long destruction waits for a run that is about to end anyway.
constexpr auto kEndingGrace = std::chrono::milliseconds(50);

void ensureDirectory(const std::filesystem::path& directory) {
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
}

// Makes `directory` private to this user (0700), its parents as needed;
// false when something not ours already stands there. The unpacked tree
// keeps the archive's modes, so no one else may reach into it.
bool makePrivateDirectory(const std::filesystem::path& directory) {
  std::error_code ignored;
  std::filesystem::create_directories(directory.parent_path(), ignored);
  if (mkdir(directory.c_str(), 0700) == 0) return true;
  struct stat st;
  return errno == EEXIST && lstat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

std::optional<helpers::StreamFormat> streamFormatOf(const platform::URL& url) {
  std::string name = Downloader::suggestedFileName(url);
  std::string extension = name.size() >= 4 ? name.substr(name.size() - 4) : "";
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == ".zip") return helpers::StreamFormat::zip;
  if (extension == ".pkg") return helpers::StreamFormat::flatPackage;
  return std::nullopt;
}

// The unpacked size of the ZIP archive at `url`, from its central
// directory; absent when the server does not tell.
std::optional<std::uint64_t> zipUnpackedSize(const platform::URL& url, const Downloader::Options& options) {
  constexpr std::int64_t kFirstTail = 64 << 10;
  constexpr std::uint64_t kLargestTail = 16 << 20;
  auto tail = Downloader::fetchTail(url, kFirstTail, options);
  if (!tail) return std::nullopt;
  std::uint64_t needed = 0;
  auto total = helpers::zipUncompressedTotal(tail->bytes, static_cast<std::uint64_t>(tail->total), &needed);
  if (total || needed <= tail->bytes.size() || needed > kLargestTail) return total;
  tail = Downloader::fetchTail(url, static_cast<std::int64_t>(needed), options);
  if (!tail) return std::nullopt;
  return helpers::zipUncompressedTotal(tail->bytes, static_cast<std::uint64_t>(tail->total), &needed);
}

}  // namespace

class InstallCoordinator::Run {
 public:
  Run(AppConfig config, InstallSteps steps, InstallCoordinator::Environment environment);

  // Work queue: one whole run. `owner` receives the callbacks.
  void execute(bool skipInstalledCheck);

  // Any thread. After `abandon` returns nothing more is posted or reported
  // by the coordinator's own steps, and the run stops at its next check.
  void abandon();
  // Whether a run is still busy after waiting up to `grace` for it to end
  // (a run that has just delivered its outcome is still returning).
  bool busyAfter(platform::Duration grace);
  void cancelDownload();
  void resetCancel() { downloadStep_->resetCancel(); }

  std::filesystem::path installDirectory() const;
  void setInstallDirectory(const std::filesystem::path& directory);
  const std::filesystem::path& workingDirectory() const { return workingDirectory_; }

  std::weak_ptr<InstallCoordinator> owner;  // set once by `create`

 private:
  void run(bool skipInstalledCheck);
  std::filesystem::path download(const PackageLink& link);
  // The stream that unpacks `link`'s package as it arrives; none when it
  // is unpacked after the download (a disk image; a signing key without a
  // chunk list). Throws FailureBox for a chunk list that fails its proof
  // and for too little space for the unpacked tree.
  std::shared_ptr<StreamedPackage> streamFor(const PackageLink& link);
  // The staged tree of a finished stream as the payload; false when the
  // package must be unpacked the serial way.
  bool takeStreamedPayload(const std::filesystem::path& package);
  void dropStream();
  void verifyAndUnpack(const std::filesystem::path& package);
  std::filesystem::path install();
  std::filesystem::path copyIntoPlace(const std::filesystem::path& directory);
  [[noreturn]] void failInstall(const std::string& description, bool permissionDenied);
  std::optional<std::filesystem::path> askForInstallDirectory(const std::string& message);
  void runPayloadCleanup();
  void checkAbandoned() const;

  // Posts `deliver(coordinator)` to the main thread, holding the
  // coordinator weakly; nothing once abandoned.
  void post(std::function<void(InstallCoordinator&)> deliver);
  void postFailure(InstallFailure failure);
  void postStage(InstallStage stage);
  void report(const ReportEvent& event);

  const AppConfig config_;
  const InstallSteps steps_;
  const InstallCoordinator::Environment env_;
  std::filesystem::path workingDirectory_;

  // abandoned_ and busy_ pair up: a run marks itself busy before looking at
  // abandoned_, the destructor sets abandoned_ before looking at busy_, so
  // one of them always sees the other.
  std::atomic<bool> abandoned_{false};
  std::atomic<bool> busy_{false};
  std::mutex gate_;  // orders posting and reporting against `abandon`
  std::condition_variable idle_;  // with gate_: busy_ became false

  mutable std::mutex mu_;  // guards installDirectory_
  std::filesystem::path installDirectory_;

  // Work queue only.
  std::unique_ptr<PackageDownloadStep> downloadStep_;
  std::optional<UnpackedPackage> payload_;
  bool payloadStaged_ = false;  // payload_ was unpacked as it arrived
  std::mutex streamMu_;  // guards stream_ against cancelDownload
  std::shared_ptr<StreamedPackage> stream_;
  std::optional<PackageLink> resolvedLink_;
  // What the package was checked against; none at all leaves a cached
  // package that fails to unpack without proof it is not simply broken.
  PackageExpectations expectations_;
};

std::shared_ptr<InstallCoordinator> InstallCoordinator::create(AppConfig config, InstallSteps steps,
                                                               Environment environment) {
  if (!environment.reporter) environment.reporter = &Reporter::shared();
  auto coordinator = std::make_shared<InstallCoordinator>(Passkey{}, std::move(config),
                                                          std::move(steps), std::move(environment));
  coordinator->run_->owner = coordinator;
  return coordinator;
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
    : run_(std::make_shared<Run>(std::move(config), std::move(steps), std::move(environment))),
      workQueue_(std::make_unique<platform::SerialQueue>("installer.coordinator")) {}

InstallCoordinator::Run::Run(AppConfig config, InstallSteps steps,
                             InstallCoordinator::Environment environment)
    : config_(std::move(config)), steps_(std::move(steps)), env_(std::move(environment)) {
  // A fresh name each time: an existing folder is never taken over.
  for (int attempt = 0; attempt < 16; ++attempt) {
    workingDirectory_ = platform::temporaryDirectory() / ("qx-installer-" + platform::makeUUID());
    if (mkdir(workingDirectory_.c_str(), 0700) == 0 || errno != EEXIST) break;
  }
  makePrivateDirectory(workingDirectory_);
  installDirectory_ = config_.installDirectoryOverride
                          ? std::filesystem::path(*config_.installDirectoryOverride)
                          : platform::systemApplicationsDirectory();

  PackageDownloadStep::Options options;
  options.cacheDirectory = env_.cacheDirectory
                               ? env_.cacheDirectory
                               : packageCacheDirectory(env_.installerBundleIdentifier);
  options.workingDirectory = workingDirectory_;
  options.downloader = env_.downloader;
  options.downloader.expectedSize = config_.packageSize;
  options.reporter = env_.reporter;
  options.retryDelays = env_.downloadRetryDelays;
  downloadStep_ = std::make_unique<PackageDownloadStep>(std::move(options));
}

InstallCoordinator::~InstallCoordinator() {
  run_->abandon();
  run_->cancelDownload();
  if (run_->busyAfter(kEndingGrace)) {
    // Never wait for a step here (a link check, a tool, the privileged
    // copy): the queue's thread finishes it on its own, holding run_.
    workQueue_->detach();
    return;
  }
  // Queued runs that have not begun see the abandonment and end at once.
  workQueue_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(run_->workingDirectory(), ignored);
}

void InstallCoordinator::start(bool skipInstalledCheck) {
  run_->resetCancel();
  workQueue_->async([run = run_, skipInstalledCheck] { run->execute(skipInstalledCheck); });
}

void InstallCoordinator::cancel() { run_->cancelDownload(); }

bool InstallCoordinator::settle(platform::Duration timeout) {
  // The queue is serial: a marker queued now runs once the run has ended.
  auto ended = std::make_shared<platform::Semaphore>();
  workQueue_->async([ended] { ended->signal(); });
  return ended->waitFor(timeout);
}

std::filesystem::path InstallCoordinator::installDirectory() const {
  return run_->installDirectory();
}

void InstallCoordinator::setInstallDirectory(const std::filesystem::path& directory) {
  run_->setInstallDirectory(directory);
}

const std::filesystem::path& InstallCoordinator::workingDirectory() const {
  return run_->workingDirectory();
}

std::filesystem::path InstallCoordinator::Run::installDirectory() const {
  std::lock_guard lock(mu_);
  return installDirectory_;
}

void InstallCoordinator::Run::setInstallDirectory(const std::filesystem::path& directory) {
  std::lock_guard lock(mu_);
  installDirectory_ = directory;
}

void InstallCoordinator::Run::abandon() {
  std::lock_guard lock(gate_);
  abandoned_.store(true);
}

bool InstallCoordinator::Run::busyAfter(platform::Duration grace) {
  std::unique_lock lock(gate_);
  return !idle_.wait_for(lock, grace, [this] { return !busy_.load(); });
}

void InstallCoordinator::Run::execute(bool skipInstalledCheck) {
  busy_.store(true);
  if (!abandoned_.load()) {
    resolvedLink_.reset();
    run(skipInstalledCheck);
  }
  std::lock_guard lock(gate_);
  busy_.store(false);
  idle_.notify_all();
}

void InstallCoordinator::Run::post(std::function<void(InstallCoordinator&)> deliver) {
  std::lock_guard lock(gate_);
  if (abandoned_.load()) return;
  env_.mainExecutor->post([weak = owner, deliver = std::move(deliver)] {
    if (auto self = weak.lock()) deliver(*self);
  });
}

void InstallCoordinator::Run::postFailure(InstallFailure failure) {
  post([failure = std::move(failure)](InstallCoordinator& self) {
    if (self.onFailure) self.onFailure(failure);
  });
}

void InstallCoordinator::Run::postStage(InstallStage stage) {
  post([stage](InstallCoordinator& self) {
    if (self.onStage) self.onStage(stage);
  });
}

void InstallCoordinator::Run::report(const ReportEvent& event) {
  std::lock_guard lock(gate_);
  if (!abandoned_.load()) env_.reporter->report(event);
}

void InstallCoordinator::Run::checkAbandoned() const {
  if (abandoned_.load()) throw Abandoned{};
}

void InstallCoordinator::Run::run(bool skipInstalledCheck) {
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

    if (config_.packageSigningKeyMalformed) {
      throw FailureBox(failure::verifyFailed{
          "package signature rejected: PackageSigningPublicKey is not the Base64 text of an "
          "Ed25519 public key"});
    }
    LinkOutcome outcome = steps_.links->resolve();
    checkAbandoned();
    if (std::holds_alternative<std::monostate>(outcome)) throw FailureBox(failure::noDownloadURL{});
    if (auto* failed = std::get_if<LinkFailure>(&outcome)) {
      throw FailureBox(failure::checkUpdateFailed{failed->description});
    }
    resolvedLink_ = std::get<PackageLink>(outcome);
    // Refused before any byte is fetched and before a cached copy, however
    // well verified earlier, is looked at.
    if (config_.packageSigningPublicKey && !resolvedLink_->signature) {
      throw FailureBox(failure::verifyFailed{
          IntegrityError(integrity::signatureRejected{integrity::signatureRejected::Reason::missing})
              .what()});
    }

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

void InstallCoordinator::Run::cancelDownload() {
  downloadStep_->cancel();
  std::shared_ptr<StreamedPackage> stream;
  {
    std::lock_guard lock(streamMu_);
    stream = stream_;
  }
  if (stream) stream->cancel();
}

void InstallCoordinator::Run::dropStream() {
  std::shared_ptr<StreamedPackage> stream;
  {
    std::lock_guard lock(streamMu_);
    stream = std::move(stream_);
  }
  if (stream) stream->cancel();
}

void InstallCoordinator::Run::runPayloadCleanup() {
  dropStream();
  payloadStaged_ = false;
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

std::filesystem::path InstallCoordinator::Run::download(const PackageLink& link) {
  PackageDownloadStep::Hooks hooks;
  hooks.postStage = [this](InstallStage stage) { postStage(stage); };
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
  expectations_ = expected;
  auto stream = streamFor(link);
  {
    std::lock_guard lock(streamMu_);
    stream_ = stream;
  }
  // A cancel that came before the stream existed still has to stop it.
  if (stream && downloadStep_->isCancelled()) stream->cancel();
  hooks.tap = stream;
  try {
    return downloadStep_->run(link.sources(), link.version, expected, hooks);
  } catch (const FailureBox&) {
    auto stop = stream ? stream->stopped() : std::nullopt;
    dropStream();
    if (stop && !downloadStep_->isCancelled()) {
      throw FailureBox(failure::verifyFailed{
          "package signature rejected: " +
          (stop->badChunk ? "chunk " + std::to_string(*stop->badChunk) +
                                " of the package does not match its signed digest"
                          : std::string("the package is longer than its signed chunk list"))});
    }
    throw;
  }
}

std::shared_ptr<StreamedPackage> InstallCoordinator::Run::streamFor(const PackageLink& link) {
  auto format = streamFormatOf(link.url);
  if (!format) return nullptr;
  std::optional<ChunkList> chunks;
  if (config_.packageSigningPublicKey) {
    // With a key, no unproven byte reaches an unpacker: without a chunk
    // list the package is proven whole first.
    if (!link.chunks && !link.chunksSignature) return nullptr;
    auto key = base64Decode(*config_.packageSigningPublicKey);
    auto signature = link.chunksSignature ? base64Decode(*link.chunksSignature) : std::nullopt;
    std::optional<ChunkList> list;
    if (link.size && link.sha256 && link.chunks) list = decodeChunkList(*link.size, *link.sha256, *link.chunks);
    if (!key || !signature || !list || !verifyChunkList(*list, *signature, *key)) {
      throw FailureBox(failure::verifyFailed{
          "package signature rejected: the chunk list is not signed by the package signing key"});
    }
    chunks = std::move(list);
  }
  // On the destination's volume when the user may write there, so that
  // the bundle goes into place by a rename.
  std::filesystem::path parent = workingDirectory_;
  std::filesystem::path directory = installDirectory();
  struct stat st;
  if (stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(directory.c_str(), W_OK) == 0) {
    parent = directory;
  } else if (!makePrivateDirectory(workingDirectory_)) {
    return nullptr;
  }
  if (*format == helpers::StreamFormat::zip) {
    if (auto unpacked = zipUnpackedSize(link.url, env_.downloader)) {
      auto available = env_.availableCapacity ? env_.availableCapacity(parent) : availableCapacity(parent);
      auto needed = static_cast<std::int64_t>(std::min<std::uint64_t>(*unpacked, INT64_MAX / 2));
      if (available && *available > 0 && *available <= needed) {
        throw FailureBox(failure::diskSpace{
            IntegrityError(integrity::insufficientSpace{needed, *available}).what()});
      }
    }
  }
  return std::make_shared<StreamedPackage>(parent, *format, std::move(chunks));
}

bool InstallCoordinator::Run::takeStreamedPayload(const std::filesystem::path& package) {
  std::shared_ptr<StreamedPackage> stream;
  {
    std::lock_guard lock(streamMu_);
    stream = std::move(stream_);
  }
  if (!stream) return false;
  std::string why;
  std::error_code ec;
  auto size = std::filesystem::file_size(package, ec);
  auto staged = ec ? std::nullopt : stream->finish(static_cast<std::int64_t>(size), &why);
  std::optional<std::filesystem::path> application;
  if (staged) {
    application = bundleOfStreamedPackage(*staged, stream->format() == helpers::StreamFormat::flatPackage);
    if (!application) why = "no application in the unpacked tree";
  }
  if (!application) {
    if (staged) std::filesystem::remove_all(*staged, ec);
    // A cached package never streamed; anything else is worth a line.
    if (stream->position() > 0) {
      platform::SystemLog("installer", "installer").info("unpacking after the download: " + why);
    }
    return false;
  }
  payload_ = UnpackedPackage{*application, [staged = *staged] {
                               std::error_code ignored;
                               std::filesystem::remove_all(staged, ignored);
                             }};
  payloadStaged_ = true;
  return true;
}

void InstallCoordinator::Run::verifyAndUnpack(const std::filesystem::path& package) {
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
    dropStream();
    throw FailureBox(failure::verifyFailed{e.what()});
  }
  // Proven whole: the tree unpacked while the bytes arrived is the payload.
  if (takeStreamedPayload(package)) {
    post([](InstallCoordinator& self) {
      if (self.onStage) self.onStage(InstallStage::mounting);
    });
    return;
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
  try {
    if (!makePrivateDirectory(workingDirectory_)) {
      throw std::runtime_error(workingDirectory_.string() + " is not a private folder of this user");
    }
    payload_ = steps_.unpacker->unarchivePackage(package, workingDirectory_);
  } catch (const std::exception& e) {
    std::string text = e.what();
    if (!expectations_.any()) {
      // Nothing vouches for these bytes: let the next try download them
      // again instead of unpacking the same broken file forever.
      std::error_code ignored;
      std::filesystem::remove(package, ignored);
    }
    if (text.find("mount") != std::string::npos) throw FailureBox(failure::mountFailed{text});
    throw FailureBox(failure::extractFailed{text});
  }
}

std::filesystem::path InstallCoordinator::Run::install() {
  post([](InstallCoordinator& self) {
    if (self.onStage) self.onStage(InstallStage::installing);
  });
  std::filesystem::path directory = installDirectory();
  report(event::startInstallInfo{directory.string()});

  if (steps_.installer->isTargetRunning(config_.productID)) {
    std::string text = "Please exit the " + config_.productName + " before reinstalling.";
    report(event::installFailedInfo{directory.string(), text});
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

std::filesystem::path InstallCoordinator::Run::copyIntoPlace(const std::filesystem::path& directory) {
  auto progress = [this](std::int64_t copied, std::int64_t total) {
    TransferProgress value;
    value.received = copied;
    value.expected = total;
    post([value](InstallCoordinator& self) {
      if (self.onProgress) self.onProgress(value);
    });
  };
  std::filesystem::path installed =
      payloadStaged_
          ? steps_.installer->placeStagedApplication(payload_->applicationPath, directory, progress)
          : steps_.installer->installApplication(payload_->applicationPath, directory, progress);
  try {
    steps_.installer->removeQuarantine(installed);
  } catch (...) {
    // Leaves the attribute; the application still runs after a prompt.
  }
  report(event::installSuccessInfo{directory.string()});
  return installed;
}

void InstallCoordinator::Run::failInstall(const std::string& description, bool permissionDenied) {
  report(event::installFailedInfo{installDirectory().string(), description});
  if (permissionDenied) throw FailureBox(failure::permissionDenied{description});
  throw FailureBox(failure::installFailed{description});
}

std::optional<std::filesystem::path> InstallCoordinator::Run::askForInstallDirectory(
    const std::string& message) {
  struct Answer {
    platform::Semaphore done;
    std::optional<std::filesystem::path> directory;
  };
  auto answer = std::make_shared<Answer>();
  bool onMainThread = false;
  {
    // Nothing touches the executor once the coordinator is gone.
    std::lock_guard lock(gate_);
    if (abandoned_.load()) return std::nullopt;
    onMainThread = env_.mainExecutor->isMainThread();
    if (!onMainThread) {
      env_.mainExecutor->post([weak = owner, answer, message] {
        if (auto self = weak.lock(); self && self->onNeedsInstallDirectory) {
          answer->directory = self->onNeedsInstallDirectory(message);
        }
        answer->done.signal();
      });
    }
  }
  if (onMainThread) {
    auto self = owner.lock();
    return self && self->onNeedsInstallDirectory ? self->onNeedsInstallDirectory(message)
                                                 : std::nullopt;
  }
  // Not a plain runSync: a coordinator being destroyed on the main thread
  // would wait for this queue while this queue waits for the main thread.
  while (!answer->done.waitFor(kHopPoll)) {
    if (abandoned_.load()) return std::nullopt;
  }
  return answer->directory;
}

}  // namespace installer
