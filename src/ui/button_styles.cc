#include "ui/button_styles.h"

#include <cstdio>
#include <map>
#include <string>

#include <gtkmm/button.h>
#include <gtkmm/cssprovider.h>
#include <gtkmm/stylecontext.h>

namespace installer {
namespace {

// Buttons of one look share one provider.
Glib::RefPtr<Gtk::CssProvider> pillProvider(const PillButtonStyle& style) {
  using Key = std::string;
  static auto* providers = new std::map<Key, Glib::RefPtr<Gtk::CssProvider>>();  // main thread
  Rgba pressed = style.fill;
  pressed.alpha *= 0.82;
  char size[32];
  std::snprintf(size, sizeof size, "%.2fpx", style.fontSize);
  const std::string css =
      "button.pill, button.pill:hover, button.pill:focus { background-color: " +
      palette::cssColor(style.fill) + "; color: " + palette::cssColor(style.titleColor) +
      "; font-size: " + size + "; font-weight: 500; }\n"
      "button.pill:active, button.pill:checked { background-color: " +
      palette::cssColor(pressed) + "; }\n";
  auto& provider = (*providers)[css];
  if (!provider) {
    provider = Gtk::CssProvider::create();
    provider->load_from_data(css);
  }
  return provider;
}

void applyMinWidth(Gtk::Button& button, int minWidth) {
  int width = 0, height = 0;
  button.get_size_request(width, height);
  if (minWidth > 0 && width < minWidth) button.set_size_request(minWidth, height);
}

}  // namespace

void applyButtonStyle(Gtk::Button& button, const PillButtonStyle& style) {
  button.remove_css_class("outline");
  button.add_css_class("pill");
  button.get_style_context()->add_provider(pillProvider(style),
                                           GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
  applyMinWidth(button, style.minWidth);
}

void applyButtonStyle(Gtk::Button& button, const OutlineButtonStyle& style) {
  button.remove_css_class("pill");
  button.add_css_class("outline");
  applyMinWidth(button, style.minWidth);
}

AnyButtonStyle::AnyButtonStyle(PillButtonStyle style)
    : apply_([style](Gtk::Button& b) { applyButtonStyle(b, style); }) {}

AnyButtonStyle::AnyButtonStyle(OutlineButtonStyle style)
    : apply_([style](Gtk::Button& b) { applyButtonStyle(b, style); }) {}

}  // namespace installer
