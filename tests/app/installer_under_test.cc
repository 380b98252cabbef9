// The installer program as the program-level tests run it: the product's
// own launch sequence, plus what a test needs to watch and drive it from
// outside, none of which the product has:
//  - INSTALLER_TEST_CA_BUNDLE: trust the test's loopback CA (the product
//    trusts the system's store only);
//  - INSTALLER_TEST_LOG_ENDPOINT: report to a fake log service at this
//    host:port with the account below (the product's account is compiled in);
//  - standard output: "launched", "stage <ordinal>", "dialog <title>|<button>|…"
//    (or "dialog none"), "front-request", "pressed <button title> in <ms> ms"
//    (how long its handler ran: a confirmed quit's whole termination),
//    "terminated in <ms> ms" (the termination work of any granted quit), one
//    line each, flushed;
//  - standard input, one command per line: "press <button title>" runs that
//    button of the dialog on screen; "action <name>" activates a menu action
//    ("about", "minimize", "quit", ...); "throw in button handler" clicks a
//    button whose handler throws; "throw in queue task" queues a task that
//    throws.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include <glibmm/iochannel.h>
#include <glibmm/main.h>
#include <gtkmm/application.h>
#include <gtkmm/button.h>

#include "app/app_delegate.h"
#include "platform/dispatch.h"
#include "telemetry/cloud_log_tracker.h"

namespace {

using installer::AppDelegate;
using installer::InstallerViewModel;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void sayDialog(const InstallerViewModel& viewModel) {
  if (!viewModel.dialog()) return say("dialog none");
  std::string line = "dialog " + viewModel.dialog()->title;
  for (const auto& action : viewModel.dialog()->actions) line += "|" + action.title;
  say(line);
}

void run(AppDelegate& delegate, const std::string& command) {
  auto& viewModel = *delegate.viewModel();
  if (command.rfind("press ", 0) == 0 && viewModel.dialog()) {
    std::string title = command.substr(6);
    for (const auto& action : viewModel.dialog()->actions) {
      if (action.title != title) continue;
      auto handler = action.handler;  // the dialog may go away while it runs
      auto begin = std::chrono::steady_clock::now();
      if (handler) handler();
      auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
      say("pressed " + title + " in " + std::to_string(took.count()) + " ms");
      return;
    }
  } else if (command.rfind("action ", 0) == 0) {
    Gtk::Application::get_default()->activate_action(command.substr(7));
  } else if (command == "throw in button handler") {
    Gtk::Button button("Throw");
    button.signal_clicked().connect([] { throw std::runtime_error("thrown by a button handler"); });
    g_signal_emit_by_name(button.gobj(), "clicked");  // the toolkit's own emission
  } else if (command == "throw in queue task") {
    installer::platform::dispatchGlobal(installer::platform::QueuePriority::utility,
                                        [] { throw std::runtime_error("thrown by a queue task"); });
  }
}

}  // namespace

int main() {
  AppDelegate::Options options;
  if (const char* ca = std::getenv("INSTALLER_TEST_CA_BUNDLE")) options.caBundlePath = ca;
  if (const char* endpoint = std::getenv("INSTALLER_TEST_LOG_ENDPOINT")) {
    // The account installer_program_test's fake service expects.
    options.tracker = new installer::CloudLogTracker(
        {endpoint, "proj", "events", "test-key-id", "test-key-secret"});
  }
  options.onFrontRequest = [] { say("front-request"); };
  options.onTerminated = [](std::chrono::milliseconds took) {
    say("terminated in " + std::to_string(took.count()) + " ms");
  };
  auto observation = std::make_shared<InstallerViewModel::Observation>();
  options.onLaunched = [observation](AppDelegate& delegate) {
    auto viewModel = delegate.viewModel();
    std::weak_ptr<InstallerViewModel> weakViewModel = viewModel;
    *observation = viewModel->observe([weakViewModel](InstallerViewModel::Field field) {
      auto vm = weakViewModel.lock();
      if (!vm) return;
      if (field == InstallerViewModel::Field::stage) say("stage " + std::to_string(static_cast<int>(vm->stage())));
      if (field == InstallerViewModel::Field::dialog) sayDialog(*vm);
    });
    say("launched");
    if (viewModel->dialog()) sayDialog(*viewModel);

    auto input = Glib::IOChannel::create_from_fd(0);
    auto self = delegate.shared_from_this();
    std::weak_ptr<AppDelegate> weakDelegate = self;
    Glib::signal_io().connect(
        [input, weakDelegate](Glib::IOCondition) {
          Glib::ustring line;
          if (input->read_line(line) != Glib::IOStatus::NORMAL) return false;
          std::string command = line.raw();
          while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) command.pop_back();
          if (auto delegate = weakDelegate.lock()) run(*delegate, command);
          return true;
        },
        input, Glib::IOCondition::IO_IN | Glib::IOCondition::IO_HUP);
  };
  installer::runInstallerApplication(std::move(options));
}
