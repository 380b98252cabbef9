// The quit guard: quitting while an install run is busy is first refused
// and turned into the view model's quit confirmation.
//
// Main thread only. Holds nothing: every call gets what it needs.
#pragma once

#include <functional>

#include "ui/installer_view_model.h"

namespace installer {

// True when quitting may go ahead now (the view model is not busy).
// Otherwise brings the window back with `bringToFront` (unminimized, in
// front), asks `viewModel` to confirm with `quitHandler` as the action of
// its "Quit" button, and returns false: the caller refuses this request.
bool guardQuit(InstallerViewModel& viewModel, const std::function<void()>& bringToFront,
               std::function<void()> quitHandler);

}  // namespace installer
