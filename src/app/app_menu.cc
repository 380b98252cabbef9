#include "app/app_menu.h"

#include <giomm/simpleaction.h>

#include "platform/localization.h"

namespace installer {

namespace {

using platform::formatLocalized;
using platform::localized;

void addAction(const Glib::RefPtr<Gtk::Application>& application, const std::string& name,
               const std::function<void()>& run, bool enabled) {
  auto action = Gio::SimpleAction::create(name);
  action->set_enabled(enabled && static_cast<bool>(run));
  action->signal_activate().connect([run](const Glib::VariantBase&) {
    if (run) run();
  });
  application->add_action(action);
}

Glib::RefPtr<Gio::Menu> section(std::initializer_list<std::pair<std::string, std::string>> items) {
  auto menu = Gio::Menu::create();
  for (const auto& [label, action] : items) menu->append(label, action);
  return menu;
}

}  // namespace

Glib::RefPtr<Gio::Menu> buildAppMenu(const Glib::RefPtr<Gtk::Application>& application,
                                     const AppConfig& config, const std::string& displayName,
                                     const AppMenuActions& actions) {
  addAction(application, "about", actions.about, true);
  addAction(application, "open-product-page", actions.openProductPage,
            config.productPageURL.has_value());
  addAction(application, "open-support-center", actions.openSupportCenter,
            config.customerServiceURL.has_value());
  addAction(application, "open-direct-download", actions.openDirectDownload, true);
  addAction(application, "open-privacy-policy", actions.openPrivacyPolicy,
            config.privacyPolicyURL.has_value());
  addAction(application, "open-user-agreement", actions.openUserAgreement,
            config.userAgreementURL.has_value());
  addAction(application, "minimize", actions.minimize, true);
  addAction(application, "hide", actions.minimize, true);
  addAction(application, "quit", actions.quit, true);

  application->set_accels_for_action("app.quit", {"<Control>q"});
  application->set_accels_for_action("app.minimize", {"<Control>m"});
  application->set_accels_for_action("app.hide", {"<Control>h"});

  auto menu = Gio::Menu::create();
  menu->append_section(section({{formatLocalized(localized("About %@"), displayName), "app.about"}}));
  menu->append_section(section({{localized("Product Page"), "app.open-product-page"},
                                {localized("Support Center"), "app.open-support-center"},
                                {localized("Direct Download"), "app.open-direct-download"}}));
  menu->append_section(section({{localized("Privacy Policy"), "app.open-privacy-policy"},
                                {localized("End User License Agreement"), "app.open-user-agreement"}}));
  menu->append_section(section({{localized("Minimize"), "app.minimize"},
                                {formatLocalized(localized("Hide %@"), displayName), "app.hide"}}));
  menu->append_section(section({{formatLocalized(localized("Quit %@"), displayName), "app.quit"}}));
  return menu;
}

}  // namespace installer
