// The installer's menu: GNOME has no global menu bar, so the items of the
// application, "Window" and "Help" menus live in one menu model shown by a
// menu button over the window. Every title is localized with its English
// text as the key; "%@" becomes the installer's display name.
//
//   About %@                      app.about
//   Product Page                  app.open-product-page
//   Support Center                app.open-support-center
//   Direct Download               app.open-direct-download
//   Privacy Policy                app.open-privacy-policy
//   End User License Agreement    app.open-user-agreement
//   Minimize                      app.minimize   Ctrl+M
//   Hide %@                       app.hide       Ctrl+H (minimizes: no hiding on Linux)
//   Quit %@                       app.quit       Ctrl+Q
//
// The four page items are disabled when their link is not configured.
// Main thread only.
#pragma once

#include <functional>
#include <string>

#include <giomm/menu.h>
#include <gtkmm/application.h>

#include "config/app_config.h"

namespace installer {

// What the menu items do. Unset entries leave their item disabled.
struct AppMenuActions {
  std::function<void()> about;
  std::function<void()> openProductPage;
  std::function<void()> openSupportCenter;
  std::function<void()> openDirectDownload;
  std::function<void()> openPrivacyPolicy;
  std::function<void()> openUserAgreement;
  std::function<void()> minimize;
  std::function<void()> quit;
};

// Adds the actions to `application` with their accelerators and returns
// the menu model. A page item is enabled only when its action is set and
// `config` has its link.
Glib::RefPtr<Gio::Menu> buildAppMenu(const Glib::RefPtr<Gtk::Application>& application,
                                     const AppConfig& config, const std::string& displayName,
                                     const AppMenuActions& actions);

}  // namespace installer
