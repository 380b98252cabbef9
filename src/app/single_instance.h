// One installer per bundle identifier at a time.
//
// A second copy finds the first in the running-application lookup (a /proc
// scan), shows the notice "Your installer is running now. Please click to
// start it." and, on "OK", asks the first copy to come to the front with
// SIGUSR1 and ends itself. SIGUSR1 needs no session bus; the first copy
// handles it on its GLib main loop (`FrontRequestListener`).
//
// Main thread only.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "package/running_apps.h"
#include "ui/installer_view_model.h"

namespace installer {

// The signal a copy sends to ask another copy to present its window.
inline constexpr int kFrontRequestSignal = 10;  // SIGUSR1 on Linux

// Listens for kFrontRequestSignal on the default GLib main context while
// alive and runs `onRequest` on the main thread for each. Replaces the
// signal's default action (which would end the process), so create it
// before another copy can find this one.
class FrontRequestListener {
 public:
  explicit FrontRequestListener(std::function<void()> onRequest);
  ~FrontRequestListener();
  FrontRequestListener(const FrontRequestListener&) = delete;
  FrontRequestListener& operator=(const FrontRequestListener&) = delete;

 private:
  static int dispatch(void* self);
  std::function<void()> onRequest_;
  unsigned sourceId_ = 0;
};

// How the check finds the other copy; the real lookup when unset.
using RunningCopyLookup =
    std::function<std::optional<RunningApplication>(const std::string& bundleIdentifier)>;

// The single-instance check. Does nothing for an empty `bundleIdentifier`
// or when no other process runs it. Otherwise sets the notice as the view
// model's dialog; its "OK" clears the dialog, sends kFrontRequestSignal to
// the other copy and calls `terminate`. The button holds the view model
// weakly. Returns the other copy when one was found.
std::optional<RunningApplication> runSingleInstanceCheck(
    const std::shared_ptr<InstallerViewModel>& viewModel, const std::string& bundleIdentifier,
    std::function<void()> terminate, RunningCopyLookup lookup = {});

}  // namespace installer
