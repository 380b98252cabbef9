// The folder chooser the view model asks for another install directory:
// a modal GTK folder dialog (folders only, one of them, new folders
// allowed) titled with the request's title, showing its message above the
// folders, its confirm button titled as the request says, opened at the
// request's initial folder.
//
// Main thread only. It returns only when the user has answered: it runs a
// nested main loop meanwhile, so other main-thread work (timers, observer
// notifications, the coordinator's posts) keeps running.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "ui/installer_view_model.h"

namespace Gtk {
class Window;
class FileChooserDialog;
}  // namespace Gtk

namespace installer {

// The chosen folder, or none when the user cancels or closes the chooser.
// `parent` (may be null) is the window the chooser stays above.
// `onShown` (tests) is called with the dialog once it is on screen.
std::optional<std::filesystem::path> chooseFolder(
    Gtk::Window* parent, const FolderRequest& request,
    const std::function<void(Gtk::FileChooserDialog&)>& onShown = {});

}  // namespace installer
