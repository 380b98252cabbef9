// The installer's menu: localized titles with the display name, the
// Control accelerators, and page items disabled without their link.

#include <gtest/gtest.h>

#include <gtkmm/application.h>

#include "app/app_menu.h"
#include "platform/localization.h"

namespace installer {
namespace {

// Every item's label and action, in menu order (sections flattened).
std::vector<std::pair<std::string, std::string>> items(const Glib::RefPtr<Gio::MenuModel>& menu) {
  std::vector<std::pair<std::string, std::string>> found;
  for (int i = 0; i < menu->get_n_items(); ++i) {
    if (auto section = menu->get_item_link(i, Gio::MenuModel::Link::SECTION)) {
      auto inner = items(section);
      found.insert(found.end(), inner.begin(), inner.end());
      continue;
    }
    auto text = [&](Gio::MenuModel::Attribute attribute) {
      auto value = menu->get_item_attribute(i, attribute, Glib::VARIANT_TYPE_STRING);
      return Glib::VariantBase::cast_dynamic<Glib::Variant<Glib::ustring>>(value).get().raw();
    };
    found.emplace_back(text(Gio::MenuModel::Attribute::LABEL), text(Gio::MenuModel::Attribute::ACTION));
  }
  return found;
}

TEST(AppMenuTest, LocalizedItemsAcceleratorsAndItemsWithoutLinks) {
  platform::ScopedLocalizationOverride chinese(
      {{"About %@", "关于 %@"}, {"Quit %@", "退出 %@"}, {"Product Page", "产品主页"}});
  auto application = Gtk::Application::create("", Gio::Application::Flags::NON_UNIQUE);
  application->register_application();
  AppConfig config;
  config.productPageURL = platform::URL::parse("https://example.com/product");
  config.privacyPolicyURL = platform::URL::parse("https://example.com/privacy");
  int quits = 0;
  AppMenuActions actions;
  auto nothing = [] {};
  actions = {nothing, nothing, nothing, nothing, nothing, nothing, nothing, [&] { ++quits; }};

  auto menu = buildAppMenu(application, config, "Acme Setup", actions);

  using Items = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(items(menu), (Items{{"关于 Acme Setup", "app.about"},
                                {"产品主页", "app.open-product-page"},
                                {"Support Center", "app.open-support-center"},
                                {"Direct Download", "app.open-direct-download"},
                                {"Privacy Policy", "app.open-privacy-policy"},
                                {"End User License Agreement", "app.open-user-agreement"},
                                {"Minimize", "app.minimize"},
                                {"Hide Acme Setup", "app.hide"},
                                {"退出 Acme Setup", "app.quit"}}));
  const std::pair<const char*, bool> enabled[] = {
      {"open-product-page", true},    {"open-support-center", false}, {"open-direct-download", true},
      {"open-privacy-policy", true},  {"open-user-agreement", false}, {"quit", true}};
  for (const auto& [name, expected] : enabled) {
    EXPECT_EQ(application->get_action_enabled(name), expected) << name;
  }
  using Accels = std::vector<Glib::ustring>;
  EXPECT_EQ(application->get_accels_for_action("app.quit"), Accels{"<Control>q"});
  EXPECT_EQ(application->get_accels_for_action("app.minimize"), Accels{"<Control>m"});
  EXPECT_EQ(application->get_accels_for_action("app.hide"), Accels{"<Control>h"});
  application->activate_action("quit");
  EXPECT_EQ(quits, 1);
}

}  // namespace
}  // namespace installer
