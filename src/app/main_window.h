// The installer's one window: 640 x 440, not resizable, white, titled with
// the localized "Install" but without a visible title bar. The installer
// screen fills it; its own close and minimize controls and the menu button
// lie over the picture at the top; dragging the background moves it. F10
// opens the menu.
//
// A GTK widget; main thread only. The window holds its content (and through
// it the view model) strongly; it does not own its delegate: the close
// request goes to `shouldClose`, which decides.
#pragma once

#include <functional>
#include <memory>

#include <giomm/menu.h>
#include <gtkmm.h>

#include "ui/installer_view.h"
#include "ui/installer_view_model.h"

namespace installer {

class MainWindow : public Gtk::Window {
 public:
  // `shouldClose` answers a close request (the close control, Alt+F4 from
  // a window manager): true lets the window close, false keeps it open.
  MainWindow(std::shared_ptr<InstallerViewModel> viewModel, InstallerView::Options viewOptions,
             Glib::RefPtr<Gio::MenuModel> menu, std::function<bool()> shouldClose);
  ~MainWindow() override;

  // Shows the window in front of others, unminimized.
  void bringToFront();

  static constexpr int kWidth = 640;
  static constexpr int kHeight = 440;

 private:
  std::function<bool()> shouldClose_;
  Gtk::WindowHandle handle_;
  Gtk::Overlay overlay_;
  Gtk::WindowControls controls_{Gtk::PackType::START};
  Gtk::MenuButton menuButton_;
};

}  // namespace installer
