#include "install/install_coordinator.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "install/event_recorder.h"
#include "proof/integrity.h"
#include "support/fake_install_steps.h"
#include "support/loopback_file_server.h"
#include "support/package_fixtures.h"
#include "support/scoped_temp_home.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace installer {
namespace {

using namespace std::chrono_literals;
using testing::randomBytes;
using testing::EventRecorder;
using testing::FakeInstaller;
using testing::FakeLinks;
using testing::FakeUnpacker;
using testing::LoopbackFileServer;
using testing::ServedFile;
using Log = std::vector<std::string>;
using Event = std::pair<std::string, std::string>;  // wire name, attribute JSON

// --- Fixture --------------------------------------------------------------

class InstallCoordinatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.start();
    ASSERT_NE(server_.server().port(), 0);
    data_ = randomBytes(1'000'000, 21);
    auto ref = home_.tmp() / "ref";
    std::ofstream(ref, std::ios::binary) << data_;
    md5_ = md5Hex(ref);
    server_.setFile("/pkg.dmg", ServedFile{.content = data_, .etag = "\"1\""});

    config_.productID = "com.example.app";
    config_.productName = "Example";
    config_.productVersion = "1.0.0";
    config_.installDirectoryOverride = (home_.root() / "Apps").string();
    links_->outcome = link("/pkg.dmg", md5_, "2.0");
  }

  PackageLink link(const std::string& path, std::optional<std::string> md5,
                       std::optional<std::string> version) {
    return {*platform::URL::parse(server_.url(path)), md5, version};
  }

  std::shared_ptr<InstallCoordinator> make() {
    InstallCoordinator::Environment env;
    env.mainExecutor = &main_;
    env.reporter = &events_.reporter();
    env.cacheDirectory = home_.dataHome() / "cache";
    env.downloader.caBundlePath = server_.caBundlePath();
    env.downloader.idleTimeout = 5s;
    env.availableCapacity = [this](const std::filesystem::path&) { return available_; };
    if (updatePromptWait_) env.updatePromptWait = *updatePromptWait_;
    auto coordinator = InstallCoordinator::create(config_, {links_, unpacker_, installer_}, env);
    attach(*coordinator);
    return coordinator;
  }

  void attach(InstallCoordinator& c) {
    auto note = [this](std::string entry) {
      EXPECT_TRUE(main_.isMainThread());
      log_.push_back(std::move(entry));
    };
    c.onStage = [note](InstallStage s) { note("stage " + std::to_string(static_cast<int>(s))); };
    c.onProgress = [this](const TransferProgress& p) { progress_.push_back(p); };
    c.onInstalled = [note](const std::filesystem::path& p) { note("installed " + p.string()); ++outcomes; };
    c.onFailure = [note](const InstallFailure& f) {
      note("failure " + failureCaseName(f) + " " + failureDetail(f));
      ++outcomes;
    };
    c.onAlreadyInstalled = [note](const std::filesystem::path& p) { note("already " + p.string()); ++outcomes; };
    c.onUpdateAvailable = [note](const std::filesystem::path& p, const std::string& i, const std::string& l) {
      note("update " + p.string() + " " + i + " " + l);
      ++outcomes;
    };
    c.onTargetRunning = [note](const std::filesystem::path& p) { note("running " + p.string()); ++outcomes; };
    c.onNeedsInstallDirectory = [this](const std::string& message) {
      EXPECT_TRUE(main_.isMainThread());
      log_.push_back("ask " + message);
      return directoryAnswer_;
    };
  }

  // Starts a run and pumps the main thread until it ends; then pumps a
  // little longer to catch anything delivered after the outcome.
  Log runToEnd(InstallCoordinator& c, bool skipInstalledCheck = false) {
    log_.clear();
    progress_.clear();
    outcomes = 0;
    c.start(skipInstalledCheck);
    EXPECT_TRUE(main_.pumpUntil([] { return outcomes > 0; }, 30s)) << "run did not end";
    main_.pumpUntil([] { return outcomes > 1; }, 100ms);
    EXPECT_EQ(outcomes, 1);
    return log_;
  }

  // Polls `done` until it holds or `timeout` passes.
  static bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  // True once an abandoned run has ended and let go of the steps it held.
  bool runLetGo() const {
    return eventually([this] { return links_.use_count() == 1 && installer_.use_count() == 1; }, 10s);
  }

  static std::string stage(InstallStage s) { return "stage " + std::to_string(static_cast<int>(s)); }
  std::filesystem::path apps() const { return home_.root() / "Apps"; }

  static inline std::atomic<int> outcomes{0};

  testing::ScopedTempHome home_;
  LoopbackFileServer server_;
  platform::ManualMainExecutor main_;
  EventRecorder events_;
  AppConfig config_;
  std::shared_ptr<FakeLinks> links_ = std::make_shared<FakeLinks>();
  std::shared_ptr<FakeUnpacker> unpacker_ = std::make_shared<FakeUnpacker>();
  std::shared_ptr<FakeInstaller> installer_ = std::make_shared<FakeInstaller>();
  std::optional<std::int64_t> available_ = 100'000'000'000;
  std::optional<std::filesystem::path> directoryAnswer_;
  std::optional<platform::Duration> updatePromptWait_ = 50ms;  // absent: the default
  std::string data_, md5_;
  Log log_;
  std::vector<TransferProgress> progress_;
};

const std::string kChecking = "stage 1", kDownloading = "stage 2", kVerifying = "stage 3",
                  kMounting = "stage 4", kInstalling = "stage 5", kFinished = "stage 6";

TEST_F(InstallCoordinatorTest, AFullRunThenACachedRun) {
  auto c = make();
  auto workDir = c->workingDirectory();
  EXPECT_EQ(workDir.parent_path(), home_.tmp());
  EXPECT_EQ(workDir.filename().string().rfind("qx-installer-", 0), 0u);
  EXPECT_EQ(std::filesystem::status(workDir).permissions(), std::filesystem::perms::owner_all);
  EXPECT_EQ(c->installDirectory(), apps());

  auto app = apps() / "Example.app";
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, kDownloading, kVerifying, kMounting, kInstalling,
                               kFinished, "installed " + app.string()}));
  EXPECT_TRUE(std::filesystem::is_directory(app));
  EXPECT_EQ(unpacker_->cleanups, 1);
  EXPECT_EQ(installer_->quarantineRemovals, 1);
  // Copy progress arrives with the download's.
  ASSERT_FALSE(progress_.empty());
  EXPECT_EQ(progress_.back(), (TransferProgress{100, 100, 0, std::nullopt}));
  auto names = events_.events();
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[2], Event("StartInstallInfo", R"({"msg":{"error":"none","path":")" + apps().string() + R"("}})"));
  EXPECT_EQ(names[3],
            Event("InstallSuccessInfo", R"({"msg":{"error":"none","path":")" + apps().string() + R"("}})"));

  events_.clear();
  EXPECT_EQ(runToEnd(*c, true), (Log{kChecking, kVerifying, kMounting, kInstalling, kFinished,
                                     "installed " + app.string()}));
  EXPECT_EQ(events_.events().size(), 2u);  // no download events
  EXPECT_EQ(server_.requestsFor("/pkg.dmg").size(), 1u);

  c.reset();
  EXPECT_FALSE(std::filesystem::exists(workDir));
}

TEST_F(InstallCoordinatorTest, EarlyEnds) {
  {
    config_.minimumSystemVersion = "999.0";
    auto c = make();
    EXPECT_EQ(runToEnd(*c), (Log{kChecking, "failure systemTooOld "}));
    config_.minimumSystemVersion.reset();
  }
  {
    links_->configured = false;
    auto c = make();
    EXPECT_EQ(runToEnd(*c), (Log{kChecking, "failure noDownloadURL "}));
    links_->configured = true;
  }
  EXPECT_EQ(links_->resolves, 0);
  auto c = make();
  links_->outcome = std::monostate{};
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, "failure noDownloadURL "}));
  links_->outcome = LinkFailure{"HTTP 500"};
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, "failure checkUpdateFailed HTTP 500"}));
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(InstallCoordinatorTest, InstalledAndRunningCopies) {
  auto copy = home_.root() / "Apps" / "Example.app";
  installer_->installed = copy;
  auto c = make();
  // Same version on the server: nothing to do.
  links_->cached = link("/pkg.dmg", md5_, "1.0.0");
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, "already " + copy.string()}));
  // Newer on the server.
  links_->cached = link("/pkg.dmg", md5_, "2.0");
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, "update " + copy.string() + " 1.0.0 2.0"}));
  // Link not there in time.
  links_->cached.reset();
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, "already " + copy.string()}));
  // The installed copy runs.
  installer_->running = {true};
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, "running " + copy.string()}));
  // Reinstall while running: the copy found anywhere, else the target path.
  installer_->installedAnywhere = home_.root() / "Elsewhere" / "Example.app";
  EXPECT_EQ(runToEnd(*c, true), (Log{kChecking, "running " + installer_->installedAnywhere->string()}));
  installer_->installedAnywhere.reset();
  EXPECT_EQ(runToEnd(*c, true), (Log{kChecking, "running " + (apps() / "Example.app").string()}));
  EXPECT_EQ(links_->resolves, 0);
}

TEST_F(InstallCoordinatorTest, TheUpdateDecisionWaitsThreeSecondsForALinkStillComing) {
  auto copy = apps() / "Example.app";
  installer_->installed = copy;
  updatePromptWait_.reset();
  auto c = make();
  links_->cached = link("/pkg.dmg", md5_, "2.0");
  links_->arrivesAfter = 2900ms;
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, "update " + copy.string() + " 1.0.0 2.0"}));
  links_->arrivesAfter = 3100ms;
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, "already " + copy.string()}));
}

TEST_F(InstallCoordinatorTest, DownloadAndVerificationFailures) {
  auto c = make();
  links_->outcome = link("/nothing.dmg", std::nullopt, std::nullopt);
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, kDownloading, "failure network HTTP 404"}));

  links_->outcome = link("/pkg.dmg", "00000000000000000000000000000000", "1");
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, kDownloading,
                               "failure verifyFailed md5 mismatch: expected "
                               "00000000000000000000000000000000, got " + md5_}));

  links_->outcome = link("/pkg.dmg", md5_, "1");
  config_.packageSize = 1'000'001;
  auto sized = make();
  EXPECT_EQ(runToEnd(*sized), (Log{kChecking, kDownloading, kVerifying,
                                   "failure verifyFailed size mismatch: expected 1000001, got 1000000"}));

  // 2.5 times the package is exactly what is free: not enough.
  config_.packageSize.reset();
  available_ = 2'500'000;
  auto full = make();
  auto log = runToEnd(*full);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], kVerifying);  // the package was cached by the size run
  EXPECT_EQ(log[2].rfind("failure diskSpace not enough disk space: need ", 0), 0u) << log[2];
  available_ = 2'500'001;
  EXPECT_EQ(runToEnd(*full).back(), "installed " + (apps() / "Example.app").string());
}

TEST_F(InstallCoordinatorTest, UnpackingFailuresAreSortedByTheirText) {
  auto c = make();
  unpacker_->error = "Can't mount DMG: hdiutil exited with 1";
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, kDownloading, kVerifying, kMounting,
                               "failure mountFailed Can't mount DMG: hdiutil exited with 1"}));
  unpacker_->error = "extract failed: bad zip";
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, kVerifying, kMounting,
                               "failure extractFailed extract failed: bad zip"}));
  unpacker_->error = "No application found: MOUNT point empty";
  EXPECT_EQ(runToEnd(*c).back(), "failure extractFailed No application found: MOUNT point empty");
  EXPECT_EQ(unpacker_->cleanups, 0);
}

TEST_F(InstallCoordinatorTest, AnUnpackableCachedPackageThatNothingVouchesForIsDownloadedAgain) {
  links_->outcome = link("/pkg.dmg", std::nullopt, "2.0");
  unpacker_->error = "extract failed: bad zip";
  auto c = make();
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE(attempt);
    EXPECT_EQ(runToEnd(*c), (Log{kChecking, kDownloading, kVerifying, kMounting,
                                 "failure extractFailed extract failed: bad zip"}));
    EXPECT_FALSE(std::filesystem::exists(home_.dataHome() / "cache" / "2.0-pkg.dmg"));
  }
  EXPECT_EQ(server_.requestsFor("/pkg.dmg").size(), 2u);
}

TEST_F(InstallCoordinatorTest, SigningKeyProblemsAreRefusedBeforeAnythingIsFetchedOrTouched) {
  // A verified copy from an earlier run sits in the cache.
  auto cached = home_.dataHome() / "cache" / "2.0-pkg.dmg";
  std::filesystem::create_directories(cached.parent_path());
  std::ofstream(cached, std::ios::binary) << data_;

  config_.packageSigningKeyMalformed = true;
  auto malformed = make();
  EXPECT_EQ(runToEnd(*malformed),
            (Log{kChecking, "failure verifyFailed package signature rejected: PackageSigningPublicKey "
                            "is not the Base64 text of an Ed25519 public key"}));
  EXPECT_EQ(links_->resolves, 0);

  config_.packageSigningKeyMalformed = false;
  config_.packageSigningPublicKey = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
  auto unsignedLink = make();
  EXPECT_EQ(runToEnd(*unsignedLink),
            (Log{kChecking,
                 "failure verifyFailed package signature rejected: the update service sent no signature"}));
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_EQ(md5Hex(cached), md5_);
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(InstallCoordinatorTest, InstallFailuresAreReportedAndCleanUp) {
  using Kind = InstallStepError::Kind;
  auto c = make();
  const std::string dir = apps().string();
  auto failedInfo = [&](const std::string& text) {
    return Event("InstallFailedInfo", R"({"msg":{"error":")" + text + R"(","path":")" + dir + R"("}})");
  };

  // The target started running after the first checks.
  installer_->running = {false, true, false};
  EXPECT_EQ(runToEnd(*c).back(), "failure installFailed Please exit the Example before reinstalling.");
  EXPECT_EQ(events_.events().back(), failedInfo("Please exit the Example before reinstalling."));
  EXPECT_TRUE(installer_->copyDirectories.empty());
  EXPECT_EQ(unpacker_->cleanups, 1);

  installer_->copies = {FakeInstaller::fail(Kind::permissionDenied, "privileged copy exited with status 1")};
  EXPECT_EQ(runToEnd(*c).back(), "failure permissionDenied privileged copy exited with status 1");
  EXPECT_EQ(events_.events().back(), failedInfo("privileged copy exited with status 1"));

  installer_->copies = {FakeInstaller::fail(Kind::copyFailed, "disk on fire")};
  EXPECT_EQ(runToEnd(*c).back(), "failure installFailed disk on fire");
  EXPECT_EQ(unpacker_->cleanups, 3);
  EXPECT_EQ(installer_->quarantineRemovals, 0);
}

TEST_F(InstallCoordinatorTest, ARefusedPromptAsksForAnotherDirectoryOnce) {
  using Kind = InstallStepError::Kind;
  const std::string ask =
      "ask Unable to install it to the application directory, please change the installation path.";
  auto c = make();
  auto mine = home_.root() / "Mine";
  directoryAnswer_ = mine;
  installer_->copies = {FakeInstaller::fail(Kind::authorizationCancelled, "authorization was cancelled"),
                        FakeInstaller::succeed()};
  auto log = runToEnd(*c);
  EXPECT_EQ(log, (Log{kChecking, kDownloading, kVerifying, kMounting, kInstalling, ask, kFinished,
                      "installed " + (mine / "Example.app").string()}));
  EXPECT_EQ(c->installDirectory(), mine);
  EXPECT_EQ(events_.events().back(),
            Event("InstallSuccessInfo", R"({"msg":{"error":"none","path":")" + mine.string() + R"("}})"));

  // No answer: the home directory's Applications; refused there too.
  directoryAnswer_.reset();
  c->setInstallDirectory(apps());
  installer_->copies = {FakeInstaller::fail(Kind::authorizationCancelled, "authorization was cancelled")};
  installer_->copyDirectories.clear();
  log = runToEnd(*c);
  EXPECT_EQ(log.back(), "failure installFailed authorization was cancelled");
  EXPECT_EQ(installer_->copyDirectories,
            (std::vector<std::filesystem::path>{apps(), home_.home() / "Applications"}));
  EXPECT_EQ(events_.events().back(),
            Event("InstallFailedInfo", R"({"msg":{"error":"authorization was cancelled","path":")" +
                                           (home_.home() / "Applications").string() + R"("}})"));
}

TEST_F(InstallCoordinatorTest, AnUnexpectedErrorEndsTheRun) {
  struct Throwing : FakeInstaller {
    std::optional<std::filesystem::path> findInstalledApplication(
        const std::string&, const std::optional<std::string>&,
        const std::vector<std::filesystem::path>&) override {
      throw std::runtime_error("bundle unreadable");
    }
  };
  installer_ = std::make_shared<Throwing>();
  auto c = make();
  EXPECT_EQ(runToEnd(*c), (Log{kChecking, "failure installFailed bundle unreadable"}));
}

TEST_F(InstallCoordinatorTest, CancelDuringTheDownloadEndsWithOneCancelled) {
  ServedFile slow{.content = data_, .etag = "\"1\""};
  slow.bytesPerSecond = 400'000;
  server_.setFile("/pkg.dmg", slow);
  auto c = make();
  log_.clear();
  outcomes = 0;
  c->start(false);
  ASSERT_TRUE(main_.pumpUntil([&] { return server_.bytesSent() > 50'000; }, 20s));
  EXPECT_FALSE(c->settle(50ms)) << "the download goes on";
  c->cancel();
  EXPECT_TRUE(c->settle(20s)) << "the run ends after the cancel";
  ASSERT_TRUE(main_.pumpUntil([] { return outcomes > 0; }, 20s));
  main_.pumpUntil([] { return outcomes > 1; }, 100ms);
  EXPECT_EQ(log_, (Log{kChecking, kDownloading, "failure cancelled "}));
  EXPECT_EQ(outcomes, 1);
  for (auto& [name, attributes] : events_.events()) {
    EXPECT_EQ(name.find("DataErr"), std::string::npos) << name;
  }
}

TEST_F(InstallCoordinatorTest, ADestroyedCoordinatorDeliversNothing) {
  ServedFile slow{.content = data_, .etag = "\"1\""};
  slow.bytesPerSecond = 400'000;
  server_.setFile("/pkg.dmg", slow);
  auto c = make();
  log_.clear();
  c->start(false);
  // Let the download begin, but deliver nothing yet.
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (server_.bytesSent() < 50'000 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  c.reset();  // stops the download; the run ends on its own
  main_.pumpUntil([&] { return !log_.empty(); }, 200ms);
  EXPECT_TRUE(log_.empty());
  EXPECT_TRUE(progress_.empty());
  EXPECT_TRUE(runLetGo());
}

TEST_F(InstallCoordinatorTest, DestroyingDuringABlockingStepReturnsAtOnce) {
  links_->hold = std::make_shared<platform::Semaphore>();
  auto c = make();
  auto workDir = c->workingDirectory();
  log_.clear();
  c->start(false);
  ASSERT_TRUE(eventually([&] { return links_->resolves > 0; }, 20s));
  auto begin = std::chrono::steady_clock::now();
  c.reset();
  // The step holds on until signalled: any wait for it would show as
  // forever, so a bound a loaded machine cannot trip is enough.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
  EXPECT_TRUE(std::filesystem::exists(workDir));
  links_->hold->signal();  // the step ends: no further step, nothing delivered
  EXPECT_TRUE(runLetGo());
  main_.pumpUntil([&] { return !log_.empty(); }, 100ms);
  EXPECT_TRUE(log_.empty());
  EXPECT_TRUE(server_.requestsFor("/pkg.dmg").empty());
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(InstallCoordinatorTest, DestroyingWhileAskingForADirectoryDoesNotHang) {
  installer_->copies = {FakeInstaller::fail(InstallStepError::Kind::authorizationCancelled,
                                            "authorization was cancelled")};
  auto c = make();
  log_.clear();
  c->start(false);
  // Wait until the run has posted its question (without running it).
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (installer_->copyCalls == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  c.reset();
  main_.pumpUntil([&] { return !log_.empty(); }, 200ms);
  EXPECT_TRUE(log_.empty());
  EXPECT_TRUE(runLetGo());
  EXPECT_EQ(installer_->copyDirectories.size(), 1u);
}

}  // namespace
}  // namespace installer
