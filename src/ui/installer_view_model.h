// The one object between the install run and the window: owns the
// configuration, the package link resolver and the install coordinator,
// turns the coordinator's eight callbacks into eight observable values, and
// carries out the user's actions (start, retry, launch, direct download,
// quit, choose another directory) with their dialogs and telemetry.
//
// Ownership and threads:
//  - Created once by the application shell through `create` (it lives in a
//    shared_ptr so that dialog buttons, coordinator callbacks and delayed
//    work can hold it weakly); tests create as many as they like.
//  - Main thread only: every operation, every observer notification, every
//    dialog handler. The coordinator delivers its callbacks there.
//  - No GTK type appears here: the views and the shell supply the folder
//    chooser and the application's termination as plain functions, so the
//    whole object is tested without a display.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/app_config.h"
#include "install/install_coordinator.h"
#include "run_status/install_types.h"
#include "network/package_link_resolver.h"
#include "package/running_apps.h"
#include "platform/dispatch.h"
#include "telemetry/reporter.h"

namespace installer {

// What the bottom panel shows.
enum class PanelMode { hidden, progress, action };

// An sRGB colour with opacity, components 0…1.
struct Rgba {
  double red = 0, green = 0, blue = 0, alpha = 1;
  bool operator==(const Rgba&) const = default;
};

// The agreement sentence as runs of text; a run with a link is drawn in
// `linkColor` with a single underline and opens its link when activated.
struct StyledText {
  struct Run {
    std::string text;
    std::optional<std::string> link;  // absolute URL text
    bool operator==(const Run&) const = default;
  };
  std::vector<Run> runs;
  static constexpr Rgba plainColor{0.65, 0.65, 0.65, 1};
  static constexpr Rgba linkColor{53 / 255.0, 126 / 255.0, 219 / 255.0, 1};
  // The runs' texts joined.
  std::string plainText() const;
};

// What the folder chooser is asked.
struct FolderRequest {
  std::string title;                    // localized "Choose a Folder"
  std::string message;                  // why a folder is needed: the failure text
  std::string confirmTitle;             // localized "OK"
  std::filesystem::path initialFolder;  // "/Applications" where it exists, else the home folder
};

class InstallerViewModel : public std::enable_shared_from_this<InstallerViewModel> {
 public:
  // The observable fields, for observers that care which one changed.
  enum class Field {
    stage, panelMode, progress, actionTitle, dialog, showsCarousel, installedAppURL, hasStarted
  };

  // Everything the view model reaches outside itself. Unset functions take
  // the real platform behaviour noted on each; tests replace them.
  struct Services {
    // Required: where coordinator callbacks and delayed work run.
    platform::MainExecutor* mainExecutor = nullptr;
    // Null: Reporter::shared().
    Reporter* reporter = nullptr;
    // Opens a link in the default browser (GIO). Fire and forget.
    std::function<void(const std::string& url)> openURL;
    // Shows a file in the file manager (D-Bus FileManager1, else opens its folder).
    std::function<void(const std::filesystem::path&)> revealFile;
    // Ends this application (the shell's quit path). Unset: nothing.
    std::function<void()> terminate;
    // Runs a modal folder chooser; absent when the user cancels. Unset:
    // always absent (the views install the GTK chooser).
    std::function<std::optional<std::filesystem::path>(const FolderRequest&)> chooseFolder;
    // From the application installer: launch with start-up arguments
    // (waits up to 20 s), the running copy of a bundle identifier, the
    // installed copy of a product.
    std::function<bool(const std::filesystem::path& bundle, const std::string& startUpArgs)>
        launchApplication;
    std::function<std::optional<RunningApplication>(const std::string& bundleIdentifier)>
        runningTarget;
    std::function<std::optional<std::filesystem::path>(const std::string& productID)>
        findInstalledApplication;
    // Builds the coordinator around the one resolver. Unset: the real
    // coordinator with the real steps (InstallCoordinator::create(config,
    // resolver, environment) with `mainExecutor`, `reporter` and the main
    // bundle's identifier naming the package cache).
    std::function<std::shared_ptr<InstallCoordinator>(const AppConfig&,
                                                      std::shared_ptr<PackageLinkResolver>)>
        makeCoordinator;
    // Builds the one resolver. Unset: PackageLinkResolver::create with a
    // curl transport and the install run's installed-version lookup.
    std::function<std::shared_ptr<PackageLinkResolver>(const AppConfig&)> makeResolver;
    // Delay before the running-target guard continues after "Quit".
    platform::Duration targetQuitDelay = std::chrono::milliseconds(1500);
  };

  // Builds the resolver, the coordinator and the agreement text and
  // installs the coordinator's callbacks; starts nothing (the shell calls
  // linkResolver()->prefetch() and, when configured, startInstall(false)).
  // Cannot fail. Main thread.
  static std::shared_ptr<InstallerViewModel> create(AppConfig config, Services services);
  ~InstallerViewModel();
  InstallerViewModel(const InstallerViewModel&) = delete;
  InstallerViewModel& operator=(const InstallerViewModel&) = delete;

  // Observers are called on the main thread after every change of a
  // published field, with the field that changed. Setting a field to the
  // value it has is silent; a new dialog always counts as a change (dialogs
  // compare by identifier). An observer may call the operations below
  // (its notifications then nest) and may register or drop observations,
  // its own included, while called, but must not release the last owner of
  // the view model. The token unregisters on destruction and does not keep
  // the view model alive.
  using Observer = std::function<void(Field)>;
  class Observation {
   public:
    Observation() = default;
    Observation(Observation&&) noexcept;
    Observation& operator=(Observation&&) noexcept;
    ~Observation();
   private:
    friend class InstallerViewModel;
    std::weak_ptr<InstallerViewModel> owner_;
    std::uint64_t id_ = 0;
  };
  [[nodiscard]] Observation observe(Observer observer);

  // The published fields.
  InstallStage stage() const { return stage_; }
  PanelMode panelMode() const { return panelMode_; }
  const std::optional<TransferProgress>& progress() const { return progress_; }
  const std::string& actionTitle() const { return actionTitle_; }
  const std::optional<DialogSpec>& dialog() const { return dialog_; }
  bool showsCarousel() const { return showsCarousel_; }
  const std::optional<std::filesystem::path>& installedAppURL() const { return installedAppURL_; }
  bool hasStarted() const { return hasStarted_; }
  // True from `startInstall` until the run's outcome arrives (the stage
  // alone lags behind: "checking" is delivered asynchronously, so a second
  // click in between would otherwise queue a second run).
  bool isBusy() const { return runInFlight_ || installer::isBusy(stage_); }

  const AppConfig& config() const { return config_; }
  const StyledText& agreementText() const { return agreementText_; }
  const std::shared_ptr<InstallCoordinator>& coordinator() const { return coordinator_; }
  const std::shared_ptr<PackageLinkResolver>& linkResolver() const { return linkResolver_; }

  // The user's actions, main thread. Dialog buttons built here hold the
  // view model weakly, do nothing once it is gone, and may be called after
  // their dialog has been replaced (a view may call the handler it holds).
  //
  // Starts a run (`skipInstalledCheck` for a reinstall or an upgrade);
  // ignored while busy.
  void startInstall(bool skipInstalledCheck);
  // Reports reInstallClick or reDownloadClick by the last failure, then
  // startInstall(true).
  void retryInstall();
  // Launches the installed (or found) copy after the running-target guard;
  // the launch blocks up to 20 s. A failed launch shows a dialog and
  // reveals the copy; a successful one with `quitAfterLaunch` terminates.
  void launchInstalled(bool quitAfterLaunch);
  // Asks whether to quit during a run; "Quit" cancels the run, then runs
  // `quitAction`.
  void confirmQuit(std::function<void()> quitAction);
  // Opens the resolved package link in the browser; nothing without one.
  void directDownload();
  // Shows `next` (the shell's second-copy notice) or clears the dialog.
  void setDialog(std::optional<DialogSpec> next);

  // Installed later by the views (the GTK chooser) and the shell (terminate).
  void setChooseFolder(std::function<std::optional<std::filesystem::path>(const FolderRequest&)> f);
  void setTerminate(std::function<void()> f);

  // The product name used in dialogs for an application bundle: the
  // configured product name, else the bundle's CFBundleName, else the file
  // name without its extension.
  std::string displayNameOf(const std::filesystem::path& application) const;

  // The localized agreement sentence with its two links ("Privacy Policy"
  // then "EULA", whatever order a translation numbers its placeholders
  // in). A translation with fewer than two placeholders falls back to the
  // English sentence; pieces after a third placeholder carry no link; a
  // link whose URL is not configured is plain text.
  static StyledText makeAgreementText(const AppConfig& config);

 private:
  struct Passkey {};

 public:
  InstallerViewModel(Passkey, AppConfig config, Services services);

 private:
  using Continuation = std::function<void(InstallerViewModel&)>;

  void installCallbacks();
  Reporter& reporter() const;
  void report(const ReportEvent& event) const;
  void notify(Field field);
  template <typename T>
  void publish(Field field, T& member, T value);
  void setDialogValue(std::optional<DialogSpec> next);
  // A dialog button whose handler runs `body` on the view model while it
  // exists, and survives the dialog being replaced from inside `body`.
  DialogAction action(const std::string& englishTitle, DialogAction::Role role,
                      Continuation body);

  void handleStage(InstallStage stage);
  void handleInstalled(const std::filesystem::path& application);
  void handleFailure(const InstallFailure& failure);
  // The reset shared by the three outcomes that end with a question.
  void resetForOutcome(const std::filesystem::path& installedCopy);
  std::optional<std::filesystem::path> askForInstallDirectory(const std::string& message);

  void showInstalledDialog(bool running);
  void showUpdateDialog(const std::string& installedVersion, const std::string& latestVersion);
  void showFailureDialog(const InstallFailure& failure);
  void showQuitDialog();
  // Runs `then` at once when the target is not running; otherwise asks the
  // user to quit it and runs `then` `targetQuitDelay` after "Quit".
  void guardTarget(Continuation then);
  void launchAndQuit(const std::filesystem::path& application, bool quitAfterLaunch);

  AppConfig config_;
  Services services_;

  InstallStage stage_ = InstallStage::idle;
  PanelMode panelMode_ = PanelMode::hidden;
  std::optional<TransferProgress> progress_;
  std::string actionTitle_;
  std::optional<DialogSpec> dialog_;
  bool showsCarousel_ = false;
  std::optional<std::filesystem::path> installedAppURL_;
  bool hasStarted_ = false;

  StyledText agreementText_;
  std::shared_ptr<PackageLinkResolver> linkResolver_;
  std::shared_ptr<InstallCoordinator> coordinator_;
  std::function<void()> quitHandler_;
  std::optional<InstallFailure> lastFailure_;
  bool runInFlight_ = false;

  std::uint64_t nextObserverId_ = 1;
  std::vector<std::pair<std::uint64_t, Observer>> observers_;
};

}  // namespace installer
