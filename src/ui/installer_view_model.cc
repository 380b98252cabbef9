#include "ui/installer_view_model.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "install/real_install_steps.h"
#include "package/installed_apps.h"
#include "platform/bundle.h"
#include "platform/desktop.h"
#include "platform/localization.h"
#include "platform/system_info.h"
#include "proof/integrity.h"

namespace installer {

namespace {

using platform::formatLocalized;
using platform::localized;
using Role = DialogAction::Role;

const char kAgreementSentence[] = "By installing, you agree to the %@ and %@";
const char kInstalledText[] =
    "You've installed %@. Please reinstall or launch directly this software.";
const char kTargetRunningText[] =
    "Please exit the %@ before reinstalling. If failed to launch, please go and find %@ in "
    "Applications.";

// Splits a format at its placeholders ("%@", "%1$@", "%2$@"); "%%" stands
// for "%". N placeholders give N + 1 pieces.
std::vector<std::string> splitAtPlaceholders(const std::string& format) {
  std::vector<std::string> pieces(1);
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == '@') {
        pieces.emplace_back();
        i += 2;
        continue;
      }
      if (format[i + 1] == '%') {
        pieces.back() += '%';
        i += 2;
        continue;
      }
      if (i + 3 < format.size() && (format[i + 1] == '1' || format[i + 1] == '2') &&
          format[i + 2] == '$' && format[i + 3] == '@') {
        pieces.emplace_back();
        i += 4;
        continue;
      }
    }
    pieces.back() += format[i];
    ++i;
  }
  return pieces;
}

void appendRun(StyledText& text, std::string piece, std::optional<std::string> link) {
  if (piece.empty()) return;
  if (!link && !text.runs.empty() && !text.runs.back().link) {
    text.runs.back().text += piece;
    return;
  }
  text.runs.push_back({std::move(piece), std::move(link)});
}

std::filesystem::path nearestExistingFolder(std::filesystem::path folder) {
  std::error_code ignored;
  while (!std::filesystem::is_directory(folder, ignored) && folder.has_relative_path()) {
    folder = folder.parent_path();
  }
  return folder;
}

}  // namespace

std::string StyledText::plainText() const {
  std::string text;
  for (const Run& run : runs) text += run.text;
  return text;
}

// --- Creation ---------------------------------------------------------------

std::shared_ptr<InstallerViewModel> InstallerViewModel::create(AppConfig config,
                                                               Services services) {
  if (!services.openURL) services.openURL = [](const std::string& url) { platform::openURL(url); };
  if (!services.revealFile) {
    services.revealFile = [](const std::filesystem::path& path) { platform::revealFile(path); };
  }
  if (!services.launchApplication) {
    services.launchApplication = [](const std::filesystem::path& bundle,
                                    const std::string& startUpArgs) {
      return installer::launchApplication(bundle, startUpArgs);
    };
  }
  if (!services.runningTarget) {
    services.runningTarget = [](const std::string& bundleIdentifier) {
      return installer::runningTarget(bundleIdentifier);
    };
  }
  if (!services.findInstalledApplication) {
    services.findInstalledApplication = [](const std::string& productID) {
      return installer::findInstalledApplication(productID, std::nullopt, {});
    };
  }
  if (!services.makeResolver) {
    services.makeResolver = [](const AppConfig& c) {
      PackageLinkResolver::Dependencies dependencies;
      dependencies.installedVersion = makeInstalledVersionLookup();
      return PackageLinkResolver::create(c, std::make_shared<CurlCheckUpdateTransport>(),
                                         std::move(dependencies));
    };
  }
  if (!services.makeCoordinator) {
    platform::MainExecutor* main = services.mainExecutor;
    Reporter* reporter = services.reporter;
    services.makeCoordinator = [main, reporter](const AppConfig& c,
                                                std::shared_ptr<PackageLinkResolver> resolver) {
      InstallCoordinator::Environment environment;
      environment.mainExecutor = main;
      environment.reporter = reporter;
      environment.installerBundleIdentifier = platform::Bundle::main().identifier();
      return InstallCoordinator::create(c, std::move(resolver), std::move(environment));
    };
  }
  auto model = std::make_shared<InstallerViewModel>(Passkey{}, std::move(config), std::move(services));
  model->installCallbacks();
  return model;
}

InstallerViewModel::InstallerViewModel(Passkey, AppConfig config, Services services)
    : config_(std::move(config)),
      services_(std::move(services)),
      actionTitle_(localized("Install")),
      showsCarousel_(config_.carouselEnabled),
      agreementText_(makeAgreementText(config_)) {
  linkResolver_ = services_.makeResolver(config_);
  coordinator_ = services_.makeCoordinator(config_, linkResolver_);
}

InstallerViewModel::~InstallerViewModel() = default;

void InstallerViewModel::installCallbacks() {
  if (!coordinator_) return;
  std::weak_ptr<InstallerViewModel> weak = weak_from_this();
  InstallCoordinator& c = *coordinator_;
  c.onStage = [weak](InstallStage stage) {
    if (auto self = weak.lock()) self->handleStage(stage);
  };
  c.onProgress = [weak](const TransferProgress& progress) {
    if (auto self = weak.lock()) self->publish(Field::progress, self->progress_, {progress});
  };
  c.onInstalled = [weak](const std::filesystem::path& application) {
    if (auto self = weak.lock()) self->handleInstalled(application);
  };
  c.onFailure = [weak](const InstallFailure& failure) {
    if (auto self = weak.lock()) self->handleFailure(failure);
  };
  c.onAlreadyInstalled = [weak](const std::filesystem::path& copy) {
    if (auto self = weak.lock()) {
      self->resetForOutcome(copy);
      self->showInstalledDialog(false);
    }
  };
  c.onTargetRunning = [weak](const std::filesystem::path& application) {
    if (auto self = weak.lock()) {
      self->resetForOutcome(application);
      self->showInstalledDialog(true);
    }
  };
  c.onUpdateAvailable = [weak](const std::filesystem::path& copy, const std::string& installed,
                               const std::string& latest) {
    if (auto self = weak.lock()) {
      self->resetForOutcome(copy);
      self->showUpdateDialog(installed, latest);
    }
  };
  c.onNeedsInstallDirectory = [weak](const std::string& message) {
    auto self = weak.lock();
    return self ? self->askForInstallDirectory(message) : std::nullopt;
  };
}

StyledText InstallerViewModel::makeAgreementText(const AppConfig& config) {
  std::vector<std::string> pieces = splitAtPlaceholders(localized(kAgreementSentence));
  if (pieces.size() < 3) pieces = splitAtPlaceholders(kAgreementSentence);
  auto link = [](const std::optional<platform::URL>& url) -> std::optional<std::string> {
    if (!url) return std::nullopt;
    return url->absoluteString();
  };
  const std::pair<std::string, std::optional<std::string>> links[] = {
      {localized("Privacy Policy"), link(config.privacyPolicyURL)},
      {localized("EULA"), link(config.userAgreementURL)},
  };
  StyledText text;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i >= 1 && i <= 2) appendRun(text, links[i - 1].first, links[i - 1].second);
    appendRun(text, pieces[i], std::nullopt);
  }
  return text;
}

// --- Observation ------------------------------------------------------------

InstallerViewModel::Observation::Observation(Observation&& other) noexcept
    : owner_(std::move(other.owner_)), id_(std::exchange(other.id_, 0)) {}

InstallerViewModel::Observation& InstallerViewModel::Observation::operator=(
    Observation&& other) noexcept {
  if (this != &other) {
    Observation dropped(std::move(*this));
    owner_ = std::move(other.owner_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

InstallerViewModel::Observation::~Observation() {
  auto owner = owner_.lock();
  if (!owner || id_ == 0) return;
  std::erase_if(owner->observers_, [this](const auto& entry) { return entry.first == id_; });
}

InstallerViewModel::Observation InstallerViewModel::observe(Observer observer) {
  Observation token;
  token.owner_ = weak_from_this();
  token.id_ = nextObserverId_++;
  observers_.emplace_back(token.id_, std::move(observer));
  return token;
}

void InstallerViewModel::notify(Field field) {
  // A copy, so that observers may register or drop observations (their own
  // included) while called; a dropped one is not called any more.
  auto snapshot = observers_;
  for (auto& [id, observer] : snapshot) {
    bool registered = std::any_of(observers_.begin(), observers_.end(),
                                  [id = id](const auto& entry) { return entry.first == id; });
    if (registered) observer(field);
  }
}

template <typename T>
void InstallerViewModel::publish(Field field, T& member, T value) {
  if (member == value) return;
  member = std::move(value);
  notify(field);
}

void InstallerViewModel::setDialogValue(std::optional<DialogSpec> next) {
  // DialogSpec compares by identifier, so a new dialog always counts as a
  // change.
  publish(Field::dialog, dialog_, std::move(next));
}

void InstallerViewModel::setDialog(std::optional<DialogSpec> next) { setDialogValue(std::move(next)); }

void InstallerViewModel::setChooseFolder(
    std::function<std::optional<std::filesystem::path>(const FolderRequest&)> f) {
  services_.chooseFolder = std::move(f);
}

void InstallerViewModel::setTerminate(std::function<void()> f) { services_.terminate = std::move(f); }

Reporter& InstallerViewModel::reporter() const {
  return services_.reporter ? *services_.reporter : Reporter::shared();
}

void InstallerViewModel::report(const ReportEvent& event) const { reporter().report(event); }

// --- Coordinator callbacks --------------------------------------------------

void InstallerViewModel::handleStage(InstallStage stage) {
  publish(Field::stage, stage_, stage);
  switch (stage) {
    case InstallStage::downloading:
    case InstallStage::verifying:
    case InstallStage::mounting:
    case InstallStage::installing:
      publish(Field::panelMode, panelMode_, PanelMode::progress);
      break;
    case InstallStage::finished:
      publish(Field::panelMode, panelMode_, PanelMode::action);
      break;
    case InstallStage::idle:
    case InstallStage::checking:
      break;
  }
}

void InstallerViewModel::handleInstalled(const std::filesystem::path& application) {
  runInFlight_ = false;
  publish(Field::installedAppURL, installedAppURL_, {application});
  publish(Field::actionTitle, actionTitle_, localized("Launch"));
  publish(Field::panelMode, panelMode_, PanelMode::action);
  publish(Field::progress, progress_, {});
  if (config_.installSuccessURL) services_.openURL(config_.installSuccessURL->absoluteString());
  report(event::startAppClick{});
  guardTarget([application](InstallerViewModel& self) { self.launchAndQuit(application, true); });
}

void InstallerViewModel::handleFailure(const InstallFailure& failure) {
  runInFlight_ = false;
  publish(Field::stage, stage_, InstallStage::idle);
  publish(Field::panelMode, panelMode_, PanelMode::action);
  publish(Field::actionTitle, actionTitle_, localized("Install"));
  publish(Field::progress, progress_, {});
  showFailureDialog(failure);
}

void InstallerViewModel::resetForOutcome(const std::filesystem::path& installedCopy) {
  runInFlight_ = false;
  publish(Field::stage, stage_, InstallStage::idle);
  publish(Field::panelMode, panelMode_, PanelMode::hidden);
  publish(Field::progress, progress_, {});
  publish(Field::hasStarted, hasStarted_, false);
  publish(Field::installedAppURL, installedAppURL_, {installedCopy});
}

std::optional<std::filesystem::path> InstallerViewModel::askForInstallDirectory(
    const std::string& message) {
  report(event::customInstallClick{});
  if (!services_.chooseFolder) return std::nullopt;
  // Where there is no applications folder its nearest parent is "/", a
  // poor place to start looking for a folder of one's own.
  std::error_code ignored;
  const auto applications = platform::systemApplicationsDirectory();
  FolderRequest request{localized("Choose a Folder"), message, localized("OK"),
                        std::filesystem::is_directory(applications, ignored)
                            ? applications
                            : nearestExistingFolder(platform::homeDirectory())};
  return services_.chooseFolder(request);
}

// --- User actions -----------------------------------------------------------

void InstallerViewModel::startInstall(bool skipInstalledCheck) {
  if (isBusy()) return;
  setDialogValue(std::nullopt);
  publish(Field::hasStarted, hasStarted_, true);
  publish(Field::panelMode, panelMode_, PanelMode::progress);
  publish(Field::progress, progress_, {});
  publish(Field::actionTitle, actionTitle_, localized("Install"));
  if (skipInstalledCheck) publish(Field::installedAppURL, installedAppURL_, {});
  if (!coordinator_) return;
  runInFlight_ = true;
  coordinator_->start(skipInstalledCheck);
}

void InstallerViewModel::retryInstall() {
  bool reinstall = lastFailure_ && (std::holds_alternative<failure::permissionDenied>(*lastFailure_) ||
                                    std::holds_alternative<failure::installFailed>(*lastFailure_) ||
                                    std::holds_alternative<failure::launchFailed>(*lastFailure_));
  if (reinstall) {
    report(event::reInstallClick{});
  } else {
    report(event::reDownloadClick{});
  }
  startInstall(true);
}

void InstallerViewModel::launchInstalled(bool quitAfterLaunch) {
  std::optional<std::filesystem::path> application = installedAppURL_;
  if (!application) application = services_.findInstalledApplication(config_.productID);
  setDialogValue(std::nullopt);
  if (!application) return;
  report(event::startAppClick{});
  guardTarget([application = *application, quitAfterLaunch](InstallerViewModel& self) {
    self.launchAndQuit(application, quitAfterLaunch);
  });
}

void InstallerViewModel::confirmQuit(std::function<void()> quitAction) {
  quitHandler_ = std::move(quitAction);
  showQuitDialog();
}

void InstallerViewModel::directDownload() {
  report(event::offlineDownloadClick{});
  if (!linkResolver_) return;
  // A zero wait only reads the state under the resolver's lock.
  std::optional<PackageLink> link = linkResolver_->cachedLink(platform::Duration::zero());
  if (!link) return;
  services_.openURL(link->url.absoluteString());
  setDialogValue(std::nullopt);
}

std::string InstallerViewModel::displayNameOf(const std::filesystem::path& application) const {
  if (!config_.productName.empty()) return config_.productName;
  if (auto bundle = platform::Bundle::open(application)) {
    std::string name = bundle->name();
    if (!name.empty()) return name;
  }
  std::filesystem::path file = application.filename().empty() ? application.parent_path().filename()
                                                              : application.filename();
  return file.stem().string();
}

// --- Dialogs ------------------------------------------------------------------

DialogAction InstallerViewModel::action(const std::string& englishTitle, Role role,
                                        Continuation body) {
  std::weak_ptr<InstallerViewModel> weak = weak_from_this();
  auto shared = std::make_shared<Continuation>(std::move(body));
  return DialogAction(localized(englishTitle), role, [weak, shared] {
    // The body usually clears the dialog, which destroys this handler; the
    // local copies keep what it still needs alive.
    Continuation keep = *shared;
    if (auto self = weak.lock()) keep(*self);
  });
}

void InstallerViewModel::showInstalledDialog(bool running) {
  std::string name = displayNameOf(installedAppURL_.value_or(std::filesystem::path()));
  std::string text = running ? formatLocalized(localized(kTargetRunningText), name, name)
                             : formatLocalized(localized(kInstalledText), name);
  std::vector<DialogAction> actions;
  actions.push_back(action("Close", Role::secondary,
                           [](InstallerViewModel& self) { self.setDialogValue(std::nullopt); }));
  actions.push_back(action("Reinstall", Role::secondary, [](InstallerViewModel& self) {
    self.report(event::reInstallClick{});
    self.setDialogValue(std::nullopt);
    self.guardTarget([](InstallerViewModel& vm) { vm.startInstall(true); });
  }));
  actions.push_back(action("Launch", Role::primary,
                           [](InstallerViewModel& self) { self.launchInstalled(false); }));
  setDialogValue(DialogSpec(text, text, std::move(actions)));
}

void InstallerViewModel::showUpdateDialog(const std::string& installedVersion,
                                          const std::string& latestVersion) {
  std::vector<DialogAction> actions;
  actions.push_back(action("Later", Role::secondary,
                           [installedVersion, latestVersion](InstallerViewModel& self) {
                             self.report(event::skipUpdateClick{installedVersion, latestVersion});
                             self.setDialogValue(std::nullopt);
                           }));
  actions.push_back(action("Upgrade", Role::primary,
                           [installedVersion, latestVersion](InstallerViewModel& self) {
                             self.report(event::updateClick{installedVersion, latestVersion});
                             self.setDialogValue(std::nullopt);
                             self.guardTarget([](InstallerViewModel& vm) { vm.startInstall(true); });
                           }));
  setDialogValue(DialogSpec(
      localized("A new version is available."),
      formatLocalized(
          localized("You are using version %1$@. The latest version is %2$@. Do you want to upgrade?"),
          installedVersion, latestVersion),
      std::move(actions)));
}

void InstallerViewModel::showFailureDialog(const InstallFailure& failure) {
  lastFailure_ = failure;
  bool noLink = std::holds_alternative<failure::noDownloadURL>(failure);
  // The direct link leads to the very file a proof has just refused.
  const auto* verify = std::get_if<failure::verifyFailed>(&failure);
  bool offersDirectDownload = !noLink && !std::holds_alternative<failure::checkUpdateFailed>(failure) &&
                              !(verify && disownsPackage(verify->detail));
  bool offersRetry = !noLink && !std::holds_alternative<failure::systemTooOld>(failure);
  std::vector<DialogAction> actions;
  actions.push_back(action("Close", Role::secondary,
                           [](InstallerViewModel& self) { self.setDialogValue(std::nullopt); }));
  if (offersDirectDownload) {
    actions.push_back(action("Direct Download", Role::secondary,
                             [](InstallerViewModel& self) { self.directDownload(); }));
  }
  if (offersRetry) {
    actions.push_back(
        action("Try Again", Role::primary, [](InstallerViewModel& self) { self.retryInstall(); }));
  }
  setDialogValue(DialogSpec(failureTitle(failure), failureMessage(failure), std::move(actions)));
}

void InstallerViewModel::showQuitDialog() {
  std::vector<DialogAction> actions;
  actions.push_back(action("Quit", Role::secondary, [](InstallerViewModel& self) {
    self.report(event::quitQuit{});
    if (self.coordinator_) self.coordinator_->cancel();
    self.setDialogValue(std::nullopt);
    if (auto quit = self.quitHandler_) quit();
  }));
  actions.push_back(action("Continue", Role::primary, [](InstallerViewModel& self) {
    self.report(event::quitContinue{});
    self.setDialogValue(std::nullopt);
  }));
  setDialogValue(DialogSpec(localized("Installation still in progress"),
                            localized("Are you sure you want to quit before the process is completed?"),
                            std::move(actions), /*showsIcon=*/false));
}

void InstallerViewModel::guardTarget(Continuation then) {
  std::optional<RunningApplication> running = services_.runningTarget(config_.productID);
  if (!running) {
    then(*this);
    return;
  }
  std::string name;
  if (auto bundle = platform::Bundle::open(running->bundleURL)) {
    if (auto value = bundle->lookup("CFBundleName"); value && value->string()) name = *value->string();
  }
  if (name.empty()) name = config_.productName;
  if (name.empty()) name = displayNameOf(running->bundleURL);

  std::vector<DialogAction> actions;
  actions.push_back(action("Close", Role::secondary,
                           [](InstallerViewModel& self) { self.setDialogValue(std::nullopt); }));
  // Its own key: this "Quit" ends the target, not the installer.
  auto quitTarget = [target = *running, then](InstallerViewModel& self) {
    target.terminate();
    self.setDialogValue(std::nullopt);
    std::weak_ptr<InstallerViewModel> weak = self.weak_from_this();
    self.services_.mainExecutor->postAfter(self.services_.targetQuitDelay, [weak, then] {
      if (auto model = weak.lock()) then(*model);
    });
  };
  actions.push_back(action("Quit|running app", Role::primary, std::move(quitTarget)));
  setDialogValue(DialogSpec(formatLocalized(localized(kTargetRunningText), name, name),
                            formatLocalized(localized(kInstalledText), name), std::move(actions)));
}

void InstallerViewModel::launchAndQuit(const std::filesystem::path& application,
                                       bool quitAfterLaunch) {
  if (services_.launchApplication(application, config_.startUpArgs)) {
    if (quitAfterLaunch && services_.terminate) services_.terminate();
    return;
  }
  std::vector<DialogAction> actions;
  actions.push_back(action("Close", Role::secondary,
                           [](InstallerViewModel& self) { self.setDialogValue(std::nullopt); }));
  actions.push_back(action("Try Again", Role::primary,
                           [application, quitAfterLaunch](InstallerViewModel& self) {
                             self.setDialogValue(std::nullopt);
                             self.report(event::startAppClick{});
                             self.guardTarget([application, quitAfterLaunch](InstallerViewModel& vm) {
                               vm.launchAndQuit(application, quitAfterLaunch);
                             });
                           }));
  setDialogValue(DialogSpec(localized("An error occurred during installation."), application.string(),
                            std::move(actions)));
  services_.revealFile(application);
}

}  // namespace installer
