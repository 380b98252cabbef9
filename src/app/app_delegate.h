// The application delegate: the launch sequence, the window and menus,
// the single-instance rule, the quit guard and the work at termination.
// It holds no install logic: it calls into the shared view model, the
// package link resolver, the reporter, the crash reporter and the log
// tracker.
//
// Ownership and threads: one delegate per process, created by
// `runInstallerApplication` and never destroyed before the process ends
// (menu actions, signal handlers and the view model's terminate hook hold
// it weakly). Main thread only; the network probe runs on a background
// worker and the tracker's shutdown on the tracker's own queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <gtkmm/application.h>

#include "app/main_window.h"
#include "app/single_instance.h"
#include "platform/dispatch.h"
#include "platform/url.h"
#include "telemetry/cloud_log_tracker.h"
#include "ui/installer_view_model.h"

namespace installer {

class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  struct Options {
    // Trusted CAs (a PEM file) for the update check and the downloads;
    // absent = the system's store. Only test builds set it.
    std::optional<std::string> caBundlePath;
    // Test builds: a tracker of their own (pointing at a fake log
    // service) instead of the shared one over the build's constants. Must
    // live for the rest of the process.
    CloudLogTracker* tracker = nullptr;
    // Builds the carousel for a page; unset: a CarouselView.
    std::function<Gtk::Widget*(const platform::URL&)> makeCarousel;
    // Observers for test builds, main thread: the launch sequence has
    // finished (window built, single-instance check done); the window came
    // to the front because another copy asked.
    std::function<void(AppDelegate&)> onLaunched;
    std::function<void()> onFrontRequest;
    // Test builds, main thread: a granted terminate request has done its
    // termination work, which took `took` (the bound the program keeps).
    std::function<void(std::chrono::milliseconds took)> onTerminated;
  };

  static std::shared_ptr<AppDelegate> create(Glib::RefPtr<Gtk::Application> application,
                                             Options options);
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // Before the event loop runs: the crash reporter for every exception
  // nothing handled, the tracker as the reporter's sink, the front-request
  // listener, and SIGTERM, SIGHUP and SIGINT as quit requests.
  void applicationWillFinishLaunching();
  // Once, when the application is activated: the launch sequence.
  void applicationDidFinishLaunching();
  // True: terminate now. False: refused (the quit confirmation is shown).
  bool applicationShouldTerminate();
  bool windowShouldClose();
  // Reports downloaderExitInfo unless an installation succeeded, gives the
  // cancelled run and the links handed to the browser at most 1 s to
  // settle, then shuts the log tracker down (synchronously, at most about
  // 2 s).
  void applicationWillTerminate();

  // The application's terminate request: asks applicationShouldTerminate,
  // and when granted runs applicationWillTerminate once and leaves the
  // event loop.
  void terminate();

  // Menu actions.
  void openProductPage();
  void openSupportCenter();
  void openPrivacyPolicy();
  void openUserAgreement();
  void openDirectDownload();
  void showAbout();
  void minimize();

  // Brings the window back in front, unminimized (when there is one).
  void bringToFront();

  // Ends the program without the quit question: a busy run is cancelled as
  // by the confirmation's "Quit", then the termination runs. The second
  // copy's "OK" and SIGTERM, SIGHUP and SIGINT end it this way.
  void endWithoutAsking();

  bool shouldTerminateNow() const { return shouldTerminateNow_; }
  MainWindow* window() const { return window_; }
  const std::shared_ptr<InstallerViewModel>& viewModel() const { return viewModel_; }

 private:
  struct Passkey {};

 public:
  AppDelegate(Passkey, Glib::RefPtr<Gtk::Application> application, Options options);

 private:
  std::shared_ptr<InstallerViewModel> makeViewModel();
  void buildWindow(const Glib::RefPtr<Gio::MenuModel>& menu);
  void openLink(const std::optional<platform::URL>& link);
  // "OK" of the second copy's notice.
  void endAsSecondCopy();
  // The quit guard: true when the view model is idle; otherwise asks the
  // user and refuses.
  bool guardQuitWhileBusy();
  CloudLogTracker& tracker() const;

  Glib::RefPtr<Gtk::Application> application_;
  Options options_;
  platform::GlibMainExecutor mainExecutor_;
  std::unique_ptr<FrontRequestListener> frontRequests_;
  std::shared_ptr<InstallerViewModel> viewModel_;
  MainWindow* window_ = nullptr;  // owned by the application's window list
  bool shouldTerminateNow_ = false;
  bool launched_ = false;
  bool terminated_ = false;
};

// The program: a Gtk::Application (non-unique: the single-instance rule is
// the delegate's own and no session bus is needed) with an AppDelegate,
// run to its end; then ends the process with the loop's exit status,
// without exit-time clean-up (threads of an abandoned run may still be
// finishing). Never returns.
[[noreturn]] void runInstallerApplication(AppDelegate::Options options);

}  // namespace installer
