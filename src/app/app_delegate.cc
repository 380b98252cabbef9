#include "app/app_delegate.h"

#include <glib-unix.h>
#include <glibmm/exceptionhandler.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define INSTALLER_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define INSTALLER_LEAK_CHECK 1
#endif
#endif
#ifdef INSTALLER_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

#include "config/app_config.h"
#include "app/app_menu.h"
#include "app/quit_guard.h"
#include "install/install_coordinator.h"
#include "network/check_update_transport.h"
#include "network/package_link_resolver.h"
#include "install/real_install_steps.h"
#include "platform/bundle.h"
#include "platform/desktop.h"
#include "ui/carousel_view.h"
#include "telemetry/cloud_log_tracker.h"
#include "telemetry/crash_reporter.h"
#include "telemetry/launch_event.h"
#include "telemetry/network_probe.h"
#include "telemetry/reporter.h"

namespace installer {

std::shared_ptr<AppDelegate> AppDelegate::create(Glib::RefPtr<Gtk::Application> application,
                                                 Options options) {
  return std::make_shared<AppDelegate>(Passkey{}, std::move(application), std::move(options));
}

AppDelegate::AppDelegate(Passkey, Glib::RefPtr<Gtk::Application> application, Options options)
    : application_(std::move(application)), options_(std::move(options)) {}

namespace {

// What a quit waits for, at most, before the process ends: the download
// step keeping its resume record after the cancel, and links on their way
// to the browser.
constexpr auto kSettleBound = std::chrono::seconds(1);

gboolean onQuitSignal(gpointer weakDelegate) {
  if (auto self = static_cast<std::weak_ptr<AppDelegate>*>(weakDelegate)->lock()) self->endWithoutAsking();
  return G_SOURCE_CONTINUE;
}

}  // namespace

void AppDelegate::applicationWillFinishLaunching() {
  // An exception nothing handled ends the process through the crash
  // reporter: one escaping std::thread or a noexcept boundary (terminate),
  // a toolkit signal handler (glibmm's handler list, main thread) or a
  // queue task.
  CrashReporter::shared().install();
  Glib::add_exception_handler(
      [] { CrashReporter::shared().handleUncaughtException(std::current_exception()); });
  platform::setTaskExceptionHandler([](std::exception_ptr exception, const std::string&) {
    CrashReporter::shared().handleUncaughtException(std::move(exception));
  });
  if (CloudLogTracker* own = options_.tracker) {
    Reporter::setSharedSink(
        [own](const std::string& name, const std::string& attributes) { own->track(name, attributes); });
    CrashReporter::shared().setBeforeAbort([own] { own->shutdown(); });
  } else {
    CloudLogTracker::installAsReporterSink();
  }

  // Listening before anything can find this copy: SIGUSR1's default action
  // would end the process.
  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  frontRequests_ = std::make_unique<FrontRequestListener>([weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->bringToFront();
    if (self->options_.onFrontRequest) self->options_.onFrontRequest();
  });

  // A request to end from outside takes the quit's path on the main loop;
  // GLib's source does nothing inside the handler itself.
  for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
    g_unix_signal_add(signal, &onQuitSignal, new std::weak_ptr<AppDelegate>(weakSelf));
  }
}

void AppDelegate::applicationDidFinishLaunching() {
  if (launched_) {
    bringToFront();
    return;
  }
  launched_ = true;

  Reporter::shared().report(launchEvent());
  startNetworkProbe();

  if (!viewModel_) viewModel_ = makeViewModel();
  CrashReporter::shared().setInstallDirectory(viewModel_->coordinator()->installDirectory().string());
  viewModel_->linkResolver()->prefetch();
  if (viewModel_->config().allowedDownloadImmediately) viewModel_->startInstall(false);

  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  auto call = [weakSelf](void (AppDelegate::*member)()) {
    return [weakSelf, member] {
      if (auto self = weakSelf.lock()) ((*self).*member)();
    };
  };
  AppMenuActions actions;
  actions.about = call(&AppDelegate::showAbout);
  actions.openProductPage = call(&AppDelegate::openProductPage);
  actions.openSupportCenter = call(&AppDelegate::openSupportCenter);
  actions.openDirectDownload = call(&AppDelegate::openDirectDownload);
  actions.openPrivacyPolicy = call(&AppDelegate::openPrivacyPolicy);
  actions.openUserAgreement = call(&AppDelegate::openUserAgreement);
  actions.minimize = call(&AppDelegate::minimize);
  actions.quit = call(&AppDelegate::terminate);
  auto menu = buildAppMenu(application_, viewModel_->config(), displayName(), actions);

  buildWindow(menu);

  runSingleInstanceCheck(viewModel_, platform::Bundle::main().identifier(),
                         call(&AppDelegate::endAsSecondCopy));
  if (options_.onLaunched) options_.onLaunched(*this);
}

std::shared_ptr<InstallerViewModel> AppDelegate::makeViewModel() {
  AppConfig config = AppConfig::load(platform::Bundle::main(), currentLanguageCode());
  InstallerViewModel::Services services;
  services.mainExecutor = &mainExecutor_;
  if (options_.caBundlePath) {
    std::string ca = *options_.caBundlePath;
    services.makeResolver = [ca](const AppConfig& config) {
      CurlCheckUpdateTransport::Options transport;
      transport.caBundlePath = ca;
      PackageLinkResolver::Dependencies dependencies;
      dependencies.installedVersion = makeInstalledVersionLookup();
      return PackageLinkResolver::create(
          config, std::make_shared<CurlCheckUpdateTransport>(transport), dependencies);
    };
    platform::MainExecutor* executor = &mainExecutor_;
    services.makeCoordinator = [ca, executor](const AppConfig& config,
                                              std::shared_ptr<PackageLinkResolver> resolver) {
      InstallCoordinator::Environment environment;
      environment.mainExecutor = executor;
      environment.installerBundleIdentifier = platform::Bundle::main().identifier();
      environment.downloader.caBundlePath = ca;
      return InstallCoordinator::create(config, std::move(resolver), environment);
    };
  }
  auto viewModel = InstallerViewModel::create(std::move(config), std::move(services));
  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  viewModel->setTerminate([weakSelf] {
    if (auto self = weakSelf.lock()) self->terminate();
  });
  return viewModel;
}

void AppDelegate::buildWindow(const Glib::RefPtr<Gio::MenuModel>& menu) {
  InstallerView::Options viewOptions;
  viewOptions.makeCarousel = options_.makeCarousel;
  if (!viewOptions.makeCarousel) {
    viewOptions.makeCarousel = [](const platform::URL& url) -> Gtk::Widget* {
      return Gtk::make_managed<CarouselView>(url);
    };
  }
  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  window_ = new MainWindow(viewModel_, std::move(viewOptions), menu, [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return true;
    if (!self->windowShouldClose()) return false;
    // Closing the window ends the application.
    self->terminate();
    return self->terminated_;
  });
  window_->set_icon_name("AppIcon");
  application_->add_window(*window_);
  window_->present();
}

bool AppDelegate::applicationShouldTerminate() {
  if (shouldTerminateNow_) return true;
  return guardQuitWhileBusy();
}

bool AppDelegate::windowShouldClose() {
  if (shouldTerminateNow_ || !viewModel_) return true;
  return guardQuitWhileBusy();
}

bool AppDelegate::guardQuitWhileBusy() {
  // The confirmed quit holds the delegate weakly and is granted without
  // asking again.
  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  return guardQuit(*viewModel_, [this] { bringToFront(); }, [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->shouldTerminateNow_ = true;
    self->terminate();
  });
}

void AppDelegate::applicationWillTerminate() {
  const auto settleBy = std::chrono::steady_clock::now() + kSettleBound;
  auto remaining = [settleBy] {
    return std::max<platform::Duration>(settleBy - std::chrono::steady_clock::now(), platform::Duration::zero());
  };
  if (!Reporter::shared().installed()) Reporter::shared().report(event::downloaderExitInfo{});
  // The coordinator lives as long as the process and so is never destroyed:
  // its working directory goes here instead, unless a run still uses it (a
  // quit during a run leaves it, and any attached image, behind).
  if (viewModel_ && !viewModel_->isBusy()) {
    std::error_code ignored;
    std::filesystem::remove_all(viewModel_->coordinator()->workingDirectory(), ignored);
  }
  // The process ends without waiting for anyone: what must outlive the
  // quit gets its bound here, before the tracker takes the last events.
  if (viewModel_) viewModel_->coordinator()->settle(remaining());
  platform::settleHandOffs(remaining());
  tracker().shutdown();
}

CloudLogTracker& AppDelegate::tracker() const {
  return options_.tracker ? *options_.tracker : CloudLogTracker::shared();
}

void AppDelegate::terminate() {
  if (terminated_) return;
  if (viewModel_ && !applicationShouldTerminate()) return;
  terminated_ = true;
  const auto began = std::chrono::steady_clock::now();
  applicationWillTerminate();
  if (options_.onTerminated) {
    options_.onTerminated(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began));
  }
  application_->quit();
}

void AppDelegate::endAsSecondCopy() {
  // The user chose the other copy: this one ends without the quit
  // question, and a run it started by itself stops rather than install
  // the same product alongside the other copy.
  endWithoutAsking();
}

void AppDelegate::endWithoutAsking() {
  shouldTerminateNow_ = true;
  if (viewModel_ && viewModel_->isBusy()) viewModel_->coordinator()->cancel();
  terminate();
}

void AppDelegate::openLink(const std::optional<platform::URL>& link) {
  if (link) platform::openURL(link->absoluteString());
}

void AppDelegate::openProductPage() { openLink(viewModel_->config().productPageURL); }
void AppDelegate::openSupportCenter() { openLink(viewModel_->config().customerServiceURL); }
void AppDelegate::openPrivacyPolicy() { openLink(viewModel_->config().privacyPolicyURL); }
void AppDelegate::openUserAgreement() { openLink(viewModel_->config().userAgreementURL); }
void AppDelegate::openDirectDownload() { viewModel_->directDownload(); }

void AppDelegate::showAbout() {
  auto* about = new Gtk::AboutDialog();
  about->set_program_name(displayName());
  about->set_version(platform::Bundle::main().shortVersion());
  about->set_logo_icon_name("AppIcon");
  if (window_) about->set_transient_for(*window_);
  about->set_modal(true);
  about->signal_close_request().connect(
      [about] {
        Glib::signal_idle().connect_once([about] { delete about; });
        return false;
      },
      false);
  about->present();
}

void AppDelegate::minimize() {
  if (window_) window_->minimize();
}

void AppDelegate::bringToFront() {
  if (window_) window_->bringToFront();
}

void runInstallerApplication(AppDelegate::Options options) {
  // No application identifier: nothing is registered on a session bus, so
  // the program runs the same with or without one.
  auto application = Gtk::Application::create("", Gio::Application::Flags::NON_UNIQUE);
  // The delegate lives for the whole process, like the view model it owns:
  // held from static storage and never destroyed, so nothing it owns is
  // torn down (or waited for) while the process exits.
  static auto* delegate = new std::shared_ptr<AppDelegate>();
  *delegate = AppDelegate::create(application, std::move(options));
  std::weak_ptr<AppDelegate> weakDelegate = *delegate;
  (*delegate)->applicationWillFinishLaunching();
  application->signal_startup().connect([] {
    const auto& resources = platform::Bundle::main().resourcesPath();
    if (auto display = Gdk::Display::get_default()) {
      Gtk::IconTheme::get_for_display(display)->add_search_path(resources.string());
    }
    Gtk::Window::set_default_icon_name("AppIcon");
  });
  application->signal_activate().connect([weakDelegate] {
    if (auto d = weakDelegate.lock()) d->applicationDidFinishLaunching();
  });
  char name[] = "installer";
  char* argv[] = {name, nullptr};
  const int status = application->run(1, argv);
  // Everything that must be settled at quit was settled on the way out
  // (the tracker's shutdown). A download abandoned by a quit may still be
  // unwinding on its own thread, so the process ends here without the
  // libraries' exit-time clean-up, which would tear OpenSSL down under it.
  std::fflush(nullptr);
#ifdef INSTALLER_LEAK_CHECK
  // _Exit skips the sanitizer's own check at exit.
  __lsan_do_leak_check();
#endif
  std::_Exit(status);
}

}  // namespace installer
