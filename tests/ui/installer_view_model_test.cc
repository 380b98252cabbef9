#include "ui/installer_view_model.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "install/event_recorder.h"
#include "platform/localization.h"
#include "platform/system_info.h"
#include "support/fake_install_steps.h"
#include "support/scoped_temp_home.h"

namespace installer {
namespace {

using namespace std::chrono_literals;
using Field = InstallerViewModel::Field;
using Role = DialogAction::Role;
using testing::EventRecorder;
using Events = std::vector<std::pair<std::string, std::string>>;

// Answers every update check at once with a link.
class AnsweringTransport : public CheckUpdateTransport {
 public:
  void checkUpdate(const CheckUpdateRequest&, const platform::URL&,
                   CheckUpdateCompletion completion) override {
    completion(CheckUpdateHTTPResult{
        R"({"status":0,"data":{"app_url":"https://cdn.example/pkg.dmg","md5":"abc","version":"2.0"}})",
        200});
  }
};

// A child process standing in for a running copy of the target.
struct ChildProcess {
  pid_t pid = ::fork();
  ChildProcess() {
    if (pid == 0) {
      ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~ChildProcess() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  // The signal that ended it, once it has ended.
  int waitForSignal() {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return 0;
    pid = 0;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
};

class InstallerViewModelTest : public ::testing::Test {
 protected:
  InstallerViewModelTest() {
    config_.productID = "com.example.app";
    config_.productName = "Example";
    config_.startUpArgs = "-fast";
    config_.privacyPolicyURL = platform::URL::parse("https://example.com/privacy");
    config_.userAgreementURL = platform::URL::parse("https://example.com/eula");
    config_.checkUpdateURL = platform::URL::parse("https://update.example/check");
    config_.checkUpdateApp = "app";
    links_->configured = false;  // a started run ends at once with noDownloadURL
  }

  std::shared_ptr<InstallerViewModel> make() {
    InstallerViewModel::Services s;
    s.mainExecutor = &main_;
    s.reporter = &events_.reporter();
    s.openURL = [this](const std::string& url) { opened_.push_back(url); };
    s.revealFile = [this](const std::filesystem::path& path) { revealed_.push_back(path); };
    s.terminate = [this] { ++terminations_; };
    s.chooseFolder = [this](const FolderRequest& request) {
      folderRequest_ = request;
      return folderAnswer_;
    };
    s.launchApplication = [this](const std::filesystem::path& bundle, const std::string& args) {
      launches_.push_back(bundle.string() + " " + args);
      return launchSucceeds_;
    };
    s.runningTarget = [this](const std::string&) { return running_; };
    s.findInstalledApplication = [this](const std::string&) { return found_; };
    s.makeResolver = [this](const AppConfig& c) {
      PackageLinkResolver::Dependencies d;
      d.report = [this](const ReportEvent& e) { events_.reporter().report(e); };
      d.languageCode = [] { return std::string("en"); };
      d.systemVersion = [] { return std::string("12.0.0"); };
      return PackageLinkResolver::create(c, std::make_shared<AnsweringTransport>(), d);
    };
    s.makeCoordinator = [this](const AppConfig& c, std::shared_ptr<PackageLinkResolver>) {
      InstallCoordinator::Environment env;
      env.mainExecutor = &main_;
      env.reporter = &events_.reporter();
      env.cacheDirectory = home_.dataHome() / "cache";
      return InstallCoordinator::create(c, {links_, unpacker_, installer_}, env);
    };
    s.targetQuitDelay = quitDelay_;
    auto model = InstallerViewModel::create(config_, std::move(s));
    observation_ = model->observe([this](Field f) {
      EXPECT_TRUE(main_.isMainThread());
      changes_.push_back(f);
    });
    return model;
  }

  // The titles and roles of the dialog's buttons, "Title/p" or "Title/s".
  static std::vector<std::string> buttons(const InstallerViewModel& vm) {
    std::vector<std::string> out;
    if (!vm.dialog()) return out;
    for (const auto& a : vm.dialog()->actions) {
      out.push_back(a.title + (a.role == Role::primary ? "/p" : "/s"));
    }
    return out;
  }
  static void press(InstallerViewModel& vm, const std::string& title) {
    ASSERT_TRUE(vm.dialog());
    for (const auto& a : vm.dialog()->actions) {
      if (a.title == title) {
        auto handler = a.handler;  // as a view would: the dialog may go away meanwhile
        handler();
        return;
      }
    }
    FAIL() << "no button " << title;
  }
  // A usage event as it goes on the wire, written from the event table.
  static Events::value_type wire(const char* name, const char* attributes = R"({"msg":{}})") {
    return {name, attributes};
  }

  testing::ScopedTempHome home_;
  platform::ManualMainExecutor main_;
  EventRecorder events_;
  AppConfig config_;
  std::shared_ptr<testing::FakeLinks> links_ = std::make_shared<testing::FakeLinks>();
  std::shared_ptr<testing::FakeUnpacker> unpacker_ = std::make_shared<testing::FakeUnpacker>();
  std::shared_ptr<testing::FakeInstaller> installer_ = std::make_shared<testing::FakeInstaller>();

  std::vector<std::string> opened_;
  std::vector<std::filesystem::path> revealed_;
  int terminations_ = 0;
  std::optional<FolderRequest> folderRequest_;
  std::optional<std::filesystem::path> folderAnswer_;
  std::vector<std::string> launches_;
  bool launchSucceeds_ = true;
  std::optional<RunningApplication> running_;
  std::optional<std::filesystem::path> found_;
  std::vector<Field> changes_;
  InstallerViewModel::Observation observation_;
  const std::filesystem::path app_ = "/Applications/Example.app";
  const std::chrono::milliseconds quitDelay_ = 300ms;
};

TEST_F(InstallerViewModelTest, CreationState) {
  config_.carouselEnabled = true;
  auto vm = make();
  EXPECT_EQ(vm->stage(), InstallStage::idle);
  EXPECT_EQ(vm->panelMode(), PanelMode::hidden);
  EXPECT_FALSE(vm->progress());
  EXPECT_EQ(vm->actionTitle(), "Install");
  EXPECT_FALSE(vm->dialog());
  EXPECT_TRUE(vm->showsCarousel());
  EXPECT_FALSE(vm->installedAppURL());
  EXPECT_FALSE(vm->hasStarted());
  EXPECT_TRUE(vm->coordinator());
  EXPECT_TRUE(vm->linkResolver());
}

// startInstall, then a real run that finds the installed copy.
TEST_F(InstallerViewModelTest, StartThenAnOutcomeWithAQuestion) {
  links_->configured = true;
  installer_->installed = app_;
  auto vm = make();
  vm->coordinator()->onAlreadyInstalled(app_);
  changes_.clear();
  vm->startInstall(true);
  EXPECT_EQ(changes_, (std::vector<Field>{Field::dialog, Field::hasStarted, Field::panelMode,
                                          Field::installedAppURL}));
  EXPECT_EQ(vm->panelMode(), PanelMode::progress);
  EXPECT_FALSE(vm->installedAppURL());
  EXPECT_TRUE(vm->isBusy());

  // A reinstall skips the installed check; a plain start asks.
  ASSERT_TRUE(main_.pumpUntil([&] { return !vm->isBusy(); }, 10s));
  vm->startInstall(false);
  ASSERT_TRUE(main_.pumpUntil([&] { return vm->dialog().has_value(); }, 10s));
  EXPECT_EQ(vm->stage(), InstallStage::idle);
  EXPECT_EQ(vm->panelMode(), PanelMode::hidden);
  EXPECT_FALSE(vm->progress());
  EXPECT_FALSE(vm->hasStarted());
  EXPECT_EQ(vm->installedAppURL(), app_);
  EXPECT_EQ(vm->dialog()->title,
            "You've installed Example. Please reinstall or launch directly this software.");
}

TEST_F(InstallerViewModelTest, StagesSetThePanel) {
  auto vm = make();
  auto& c = *vm->coordinator();
  const std::pair<InstallStage, PanelMode> rows[] = {
      {InstallStage::checking, PanelMode::hidden},       {InstallStage::downloading, PanelMode::progress},
      {InstallStage::idle, PanelMode::progress},         {InstallStage::finished, PanelMode::action},
      {InstallStage::verifying, PanelMode::progress},    {InstallStage::mounting, PanelMode::progress},
      {InstallStage::installing, PanelMode::progress},
  };
  for (auto [stage, panel] : rows) {
    c.onStage(stage);
    EXPECT_EQ(vm->stage(), stage);
    EXPECT_EQ(vm->panelMode(), panel) << static_cast<int>(stage);
  }
  TransferProgress p{50, 100, 10, 5.0};
  changes_.clear();
  c.onProgress(p);
  c.onProgress(p);
  EXPECT_EQ(vm->progress(), p);
  EXPECT_EQ(changes_, std::vector<Field>{Field::progress});  // only changes notify
}

TEST_F(InstallerViewModelTest, SecondStartWhileBusyStartsNothing) {
  auto vm = make();
  vm->startInstall(false);
  vm->startInstall(false);  // before "checking" has arrived
  ASSERT_TRUE(main_.pumpUntil([&] { return vm->dialog().has_value(); }, 10s));
  std::string first = vm->dialog()->id;
  main_.pumpUntil([] { return false; }, 100ms);
  EXPECT_EQ(vm->dialog()->id, first);

  vm->coordinator()->onStage(InstallStage::downloading);
  changes_.clear();
  vm->startInstall(true);
  EXPECT_TRUE(changes_.empty());
}

TEST_F(InstallerViewModelTest, InstalledLaunchesAndQuits) {
  config_.installSuccessURL = platform::URL::parse("https://example.com/thanks");
  auto vm = make();
  vm->coordinator()->onProgress(TransferProgress{1, 2, 0, std::nullopt});
  vm->coordinator()->onInstalled(app_);
  EXPECT_EQ(vm->installedAppURL(), app_);
  EXPECT_EQ(vm->actionTitle(), "Launch");
  EXPECT_EQ(vm->panelMode(), PanelMode::action);
  EXPECT_FALSE(vm->progress());
  EXPECT_FALSE(vm->dialog());
  EXPECT_EQ(opened_, std::vector<std::string>{"https://example.com/thanks"});
  EXPECT_EQ(launches_, std::vector<std::string>{app_.string() + " -fast"});
  EXPECT_EQ(terminations_, 1);
  EXPECT_EQ(events_.events(), (Events{wire("StartAppClick")}));
}

TEST_F(InstallerViewModelTest, LaunchFailureRevealsTheFileAndTriesAgain) {
  launchSucceeds_ = false;
  auto vm = make();
  vm->coordinator()->onInstalled(app_);
  EXPECT_EQ(terminations_, 0);
  EXPECT_EQ(revealed_, std::vector<std::filesystem::path>{app_});
  ASSERT_TRUE(vm->dialog());
  EXPECT_EQ(vm->dialog()->title, "An error occurred during installation.");
  EXPECT_EQ(vm->dialog()->message, app_.string());
  EXPECT_EQ(buttons(*vm), (std::vector<std::string>{"Close/s", "Try Again/p"}));

  launchSucceeds_ = true;
  press(*vm, "Try Again");
  EXPECT_FALSE(vm->dialog());
  EXPECT_EQ(launches_.size(), 2u);
  EXPECT_EQ(terminations_, 1);  // the same quit-after-launch flag
  EXPECT_EQ(events_.events(), (Events{wire("StartAppClick"), wire("StartAppClick")}));
}

TEST_F(InstallerViewModelTest, FailureDialogButtonsPerKind) {
  const std::pair<InstallFailure, std::vector<std::string>> rows[] = {
      {failure::network{"x"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      {failure::diskSpace{"x"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      {failure::verifyFailed{"x"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      {failure::verifyFailed{"md5 mismatch: expected a, got b"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      {failure::verifyFailed{"size mismatch: expected 2, got 1"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      // The direct link would fetch the very package a proof refused.
      {failure::verifyFailed{"sha256 mismatch: expected a, got b"}, {"Close/s", "Try Again/p"}},
      {failure::verifyFailed{"package signature rejected: the signature does not match the package"},
       {"Close/s", "Try Again/p"}},
      {failure::verifyFailed{"package signature rejected: the update service sent no signature"},
       {"Close/s", "Try Again/p"}},
      {failure::mountFailed{"x"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      {failure::extractFailed{"x"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      {failure::permissionDenied{"x"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      {failure::installFailed{"x"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      {failure::launchFailed{"x"}, {"Close/s", "Direct Download/s", "Try Again/p"}},
      {failure::checkUpdateFailed{"x"}, {"Close/s", "Try Again/p"}},
      {failure::systemTooOld{}, {"Close/s", "Direct Download/s"}},
      {failure::noDownloadURL{}, {"Close/s"}},
      {failure::cancelled{}, {"Close/s", "Direct Download/s", "Try Again/p"}},
  };
  auto vm = make();
  for (const auto& [f, expected] : rows) {
    SCOPED_TRACE(failureCaseName(f) + " " + failureDetail(f));
    vm->coordinator()->onStage(InstallStage::downloading);
    vm->coordinator()->onProgress(TransferProgress{1, 2, 0, std::nullopt});
    vm->coordinator()->onFailure(f);
    EXPECT_EQ(vm->stage(), InstallStage::idle);
    EXPECT_EQ(vm->panelMode(), PanelMode::action);
    EXPECT_EQ(vm->actionTitle(), "Install");
    EXPECT_FALSE(vm->progress());
    ASSERT_TRUE(vm->dialog());
    EXPECT_EQ(vm->dialog()->title, failureTitle(f));
    EXPECT_EQ(vm->dialog()->message, failureMessage(f));
    EXPECT_TRUE(vm->dialog()->showsIcon);
    EXPECT_EQ(buttons(*vm), expected);
  }
  press(*vm, "Close");
  EXPECT_FALSE(vm->dialog());
}

TEST_F(InstallerViewModelTest, RetryEventFollowsTheLastFailure) {
  const std::pair<std::optional<InstallFailure>, Events::value_type> rows[] = {
      {failure::permissionDenied{"x"}, wire("ReInstallClick")},
      {failure::installFailed{"x"}, wire("ReInstallClick")},
      {failure::launchFailed{"x"}, wire("ReInstallClick")},
      {failure::network{"x"}, wire("ReDownloadClicke")},
      {failure::cancelled{}, wire("ReDownloadClicke")},
      {std::nullopt, wire("ReDownloadClicke")},
  };
  for (const auto& [f, expected] : rows) {
    auto vm = make();
    if (f) {
      vm->coordinator()->onFailure(*f);
      press(*vm, "Try Again");
    } else {
      vm->retryInstall();
    }
    EXPECT_EQ(events_.events(), (Events{expected}));
    EXPECT_TRUE(vm->hasStarted());
    EXPECT_FALSE(vm->dialog());
    events_.clear();
  }
}

TEST_F(InstallerViewModelTest, DirectDownloadNeedsAResolvedLink) {
  auto vm = make();
  vm->coordinator()->onFailure(failure::network{"x"});
  press(*vm, "Direct Download");
  EXPECT_TRUE(vm->dialog());  // nothing known yet: the dialog stays
  EXPECT_TRUE(opened_.empty());

  ASSERT_TRUE(std::holds_alternative<PackageLink>(vm->linkResolver()->resolve()));
  events_.clear();
  press(*vm, "Direct Download");
  EXPECT_FALSE(vm->dialog());
  EXPECT_EQ(opened_, std::vector<std::string>{"https://cdn.example/pkg.dmg"});
  EXPECT_EQ(events_.events(), (Events{wire("OfflineDownloadClick")}));
}

TEST_F(InstallerViewModelTest, InstalledAndRunningDialogs) {
  auto vm = make();
  for (bool targetRunning : {false, true}) {
    auto& c = *vm->coordinator();
    vm->startInstall(false);
    if (targetRunning) {
      c.onTargetRunning(app_);
      EXPECT_EQ(vm->dialog()->title,
                "Please exit the Example before reinstalling. If failed to launch, please go and "
                "find Example in Applications.");
    } else {
      c.onAlreadyInstalled(app_);
      EXPECT_EQ(vm->dialog()->title,
                "You've installed Example. Please reinstall or launch directly this software.");
    }
    EXPECT_EQ(vm->dialog()->message, vm->dialog()->title);
    EXPECT_EQ(buttons(*vm), (std::vector<std::string>{"Close/s", "Reinstall/s", "Launch/p"}));
    EXPECT_FALSE(vm->hasStarted());
  }
  press(*vm, "Launch");
  EXPECT_FALSE(vm->dialog());
  EXPECT_EQ(launches_, std::vector<std::string>{app_.string() + " -fast"});
  EXPECT_EQ(terminations_, 0);  // launched from the dialog: the installer stays

  vm->coordinator()->onAlreadyInstalled(app_);
  events_.clear();
  press(*vm, "Reinstall");
  EXPECT_EQ(events_.events(), (Events{wire("ReInstallClick")}));
  EXPECT_TRUE(vm->hasStarted());
  EXPECT_FALSE(vm->installedAppURL());
}

TEST_F(InstallerViewModelTest, UpdateDialog) {
  auto vm = make();
  for (const char* answer : {"Later", "Upgrade"}) {
    vm->coordinator()->onUpdateAvailable(app_, "1.0", "2.0");
    EXPECT_EQ(vm->dialog()->title, "A new version is available.");
    EXPECT_EQ(vm->dialog()->message,
              "You are using version 1.0. The latest version is 2.0. Do you want to upgrade?");
    EXPECT_EQ(buttons(*vm), (std::vector<std::string>{"Later/s", "Upgrade/p"}));
    press(*vm, answer);
    EXPECT_FALSE(vm->dialog());
  }
  const char* versions = R"({"msg":{"installedversion":"1.0","latestversion":"2.0"}})";
  EXPECT_EQ(events_.events(),
            (Events{wire("SkipUpdateClick", versions), wire("UpdateClick", versions)}));
  EXPECT_TRUE(vm->hasStarted());
}

TEST_F(InstallerViewModelTest, TargetGuardQuitsTheTargetAndStartsLater) {
  ChildProcess target;
  ASSERT_GT(target.pid, 0);
  running_ = RunningApplication{target.pid, "/nowhere/Other.app", "com.example.app"};
  auto vm = make();
  vm->coordinator()->onTargetRunning(app_);
  press(*vm, "Reinstall");
  ASSERT_TRUE(vm->dialog());
  EXPECT_EQ(vm->dialog()->title,
            "Please exit the Example before reinstalling. If failed to launch, please go and find "
            "Example in Applications.");
  EXPECT_EQ(vm->dialog()->message,
            "You've installed Example. Please reinstall or launch directly this software.");
  EXPECT_EQ(buttons(*vm), (std::vector<std::string>{"Close/s", "Quit/p"}));
  press(*vm, "Close");
  main_.pumpUntil([] { return false; }, 100ms);
  EXPECT_FALSE(vm->hasStarted());

  vm->coordinator()->onTargetRunning(app_);
  press(*vm, "Reinstall");
  auto quitAt = std::chrono::steady_clock::now();
  press(*vm, "Quit");
  EXPECT_FALSE(vm->dialog());
  EXPECT_EQ(target.waitForSignal(), SIGTERM);
  EXPECT_TRUE(main_.pumpUntil([&] { return vm->hasStarted(); }, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - quitAt, quitDelay_);
}

TEST_F(InstallerViewModelTest, LaunchInstalledWithoutACopyOnlyCloses) {
  auto vm = make();
  vm->coordinator()->onFailure(failure::cancelled{});
  vm->launchInstalled(true);
  EXPECT_FALSE(vm->dialog());
  EXPECT_TRUE(launches_.empty());

  found_ = app_;
  vm->launchInstalled(true);
  EXPECT_EQ(launches_, std::vector<std::string>{app_.string() + " -fast"});
  EXPECT_EQ(terminations_, 1);
}

TEST_F(InstallerViewModelTest, QuitConfirmation) {
  auto vm = make();
  int quits = 0;
  for (const char* answer : {"Continue", "Quit"}) {
    vm->confirmQuit([&] { ++quits; });
    EXPECT_EQ(vm->dialog()->title, "Installation still in progress");
    EXPECT_EQ(vm->dialog()->message, "Are you sure you want to quit before the process is completed?");
    EXPECT_FALSE(vm->dialog()->showsIcon);
    EXPECT_EQ(buttons(*vm), (std::vector<std::string>{"Quit/s", "Continue/p"}));
    press(*vm, answer);
    EXPECT_FALSE(vm->dialog());
  }
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(events_.events(), (Events{wire("Quit_Continue"), wire("Quit_Quit")}));
}

TEST_F(InstallerViewModelTest, InstallDirectoryQuestion) {
  folderAnswer_ = "/tmp/chosen";
  auto vm = make();
  EXPECT_EQ(vm->coordinator()->onNeedsInstallDirectory("Choose a folder"), folderAnswer_);
  ASSERT_TRUE(folderRequest_);
  EXPECT_EQ(folderRequest_->title, "Choose a Folder");
  EXPECT_EQ(folderRequest_->message, "Choose a folder");
  EXPECT_EQ(folderRequest_->confirmTitle, "OK");
  // Linux has no "/Applications": the home folder, not "/".
  EXPECT_EQ(folderRequest_->initialFolder, std::filesystem::is_directory("/Applications")
                                               ? std::filesystem::path("/Applications")
                                               : platform::homeDirectory());
  EXPECT_EQ(events_.events(), (Events{wire("CustomInstallClick")}));
}

TEST_F(InstallerViewModelTest, NothingHappensOnceTheViewModelIsGone) {
  auto vm = make();
  vm->coordinator()->onFailure(failure::network{"x"});
  auto coordinator = vm->coordinator();
  DialogSpec dialog = *vm->dialog();
  vm.reset();
  for (auto& a : dialog.actions) a.handler();
  coordinator->onStage(InstallStage::checking);
  coordinator->onInstalled(app_);
  EXPECT_FALSE(coordinator->onNeedsInstallDirectory("?"));
  EXPECT_TRUE(launches_.empty());
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(InstallerViewModelTest, ObserverMayDropItsOwnToken) {
  auto vm = make();
  int calls = 0;
  InstallerViewModel::Observation token;
  token = vm->observe([&](Field) {
    ++calls;
    token = {};
  });
  vm->startInstall(false);
  EXPECT_EQ(calls, 1);
  EXPECT_GT(changes_.size(), 1u);  // the other observer kept hearing
}

TEST_F(InstallerViewModelTest, AgreementText) {
  using Run = StyledText::Run;
  const std::string privacy = "https://example.com/privacy", eula = "https://example.com/eula";
  const std::string sentence = "By installing, you agree to the %@ and %@";
  struct Row {
    std::map<std::string, std::string> table;
    std::vector<Run> runs;
  };
  const Row rows[] = {
      {{}, {{"By installing, you agree to the ", {}}, {"Privacy Policy", privacy}, {" and ", {}},
            {"EULA", eula}}},
      {{{sentence, "Zuerst %2$@, dann %1$@."}, {"EULA", "EVLA"}},
       {{"Zuerst ", {}}, {"Privacy Policy", privacy}, {", dann ", {}}, {"EVLA", eula}, {".", {}}}},
      {{{sentence, "Nur %@"}},  // a missing placeholder: the English sentence
       {{"By installing, you agree to the ", {}}, {"Privacy Policy", privacy}, {" and ", {}},
        {"EULA", eula}}},
      {{{sentence, "%@ + %@ + %@ 100%%"}},
       {{"Privacy Policy", privacy}, {" + ", {}}, {"EULA", eula}, {" +  100%", {}}}},
  };
  for (const auto& row : rows) {
    platform::ScopedLocalizationOverride table(row.table);
    EXPECT_EQ(InstallerViewModel::makeAgreementText(config_).runs, row.runs);
  }
  config_.userAgreementURL.reset();
  auto text = make()->agreementText();
  EXPECT_EQ(text.runs.back(), (Run{" and EULA", {}}));
  EXPECT_EQ(text.plainText(), "By installing, you agree to the Privacy Policy and EULA");
}

TEST_F(InstallerViewModelTest, DisplayNameFallBacks) {
  auto named = home_.root() / "Named.app";
  std::filesystem::create_directories(named / "Contents");
  std::ofstream(named / "Contents" / "Info.plist")
      << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
      << "<key>CFBundleName</key><string>Bundle Name</string></dict></plist>";
  auto vm = make();
  EXPECT_EQ(vm->displayNameOf(named), "Example");
  config_.productName.clear();
  vm = make();
  EXPECT_EQ(vm->displayNameOf(named), "Bundle Name");
  EXPECT_EQ(vm->displayNameOf("/missing/Plain Name.app"), "Plain Name");
  EXPECT_EQ(vm->displayNameOf("/missing/Trailing.app/"), "Trailing");

  vm->coordinator()->onAlreadyInstalled("/missing/Plain Name.app");
  EXPECT_EQ(vm->dialog()->title,
            "You've installed Plain Name. Please reinstall or launch directly this software.");
}

}  // namespace
}  // namespace installer
