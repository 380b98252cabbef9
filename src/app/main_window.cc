#include "app/main_window.h"

#include <utility>

#include "platform/localization.h"
#include "ui/accessible_roles.h"

namespace installer {

namespace {

// The controls sit on the upper picture: light glyphs on a faint disc so
// they read on any picture, and a white window behind everything.
const char kStyle[] = R"css(
window.installer-window { background-color: #ffffff; }
.installer-chrome button {
  min-width: 22px; min-height: 22px; padding: 2px; margin: 0 2px;
  border-radius: 999px; border: none; box-shadow: none;
  color: #ffffff; background-color: rgba(0, 0, 0, 0.18);
}
.installer-chrome button:hover { background-color: rgba(0, 0, 0, 0.32); }
)css";

void installStyle() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  auto provider = Gtk::CssProvider::create();
  provider->load_from_data(kStyle);
  Gtk::StyleContext::add_provider_for_display(Gdk::Display::get_default(), provider,
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

}  // namespace

MainWindow::MainWindow(std::shared_ptr<InstallerViewModel> viewModel,
                       InstallerView::Options viewOptions, Glib::RefPtr<Gio::MenuModel> menu,
                       std::function<bool()> shouldClose)
    : shouldClose_(std::move(shouldClose)) {
  installStyle();
  add_css_class("installer-window");
  set_title(platform::localized("Install|window title"));
  set_decorated(false);
  set_resizable(false);
  set_default_size(kWidth, kHeight);
  set_size_request(kWidth, kHeight);
  // A granted close only hides: the window lives as long as its owner
  // (the delegate ends the application right after).
  set_hide_on_close(true);

  auto* view = Gtk::make_managed<InstallerView>(std::move(viewModel), std::move(viewOptions));
  view->set_size_request(kWidth, kHeight);
  overlay_.set_child(*view);

  controls_.set_decoration_layout("close,minimize:");
  controls_.set_halign(Gtk::Align::START);
  controls_.set_valign(Gtk::Align::START);
  controls_.set_margin(10);
  controls_.add_css_class("installer-chrome");
  overlay_.add_overlay(controls_);

  menuButton_.set_icon_name("open-menu-symbolic");
  menuButton_.set_menu_model(menu);
  menuButton_.set_has_frame(false);
  menuButton_.set_halign(Gtk::Align::END);
  menuButton_.set_valign(Gtk::Align::START);
  menuButton_.set_margin(10);
  menuButton_.add_css_class("installer-chrome");
  menuButton_.set_tooltip_text(platform::localized("Main Menu"));
  setAccessibleLabel(menuButton_, platform::localized("Main Menu"));
  overlay_.add_overlay(menuButton_);
  markGroup(overlay_);

  // F10 opens the menu, as it opens a menu bar elsewhere.
  auto keys = Gtk::ShortcutController::create();
  keys->set_scope(Gtk::ShortcutScope::GLOBAL);
  keys->add_shortcut(Gtk::Shortcut::create(
      Gtk::KeyvalTrigger::create(GDK_KEY_F10, Gdk::ModifierType(0)),
      Gtk::CallbackAction::create([this](Gtk::Widget&, const Glib::VariantBase&) {
        menuButton_.popup();
        return true;
      })));
  add_controller(keys);

  handle_.set_child(overlay_);
  set_child(handle_);

  signal_close_request().connect(
      [this] { return shouldClose_ ? !shouldClose_() : false; }, false);
}

MainWindow::~MainWindow() = default;

void MainWindow::bringToFront() {
  unminimize();
  present();
}

}  // namespace installer
