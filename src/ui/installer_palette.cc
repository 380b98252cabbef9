#include "ui/installer_palette.h"

#include <cstdio>
#include <set>

#include <gdkmm/display.h>
#include <gdkmm/rgba.h>
#include <gtkmm/cssprovider.h>
#include <gtkmm/stylecontext.h>

namespace installer::palette {

std::string cssColor(const Rgba& c) {
  char text[96];
  std::snprintf(text, sizeof text, "rgba(%.3f,%.3f,%.3f,%.3f)", c.red * 255, c.green * 255,
                c.blue * 255, c.alpha);
  return text;
}

Gdk::RGBA gdkColor(const Rgba& c) {
  Gdk::RGBA rgba;
  rgba.set_rgba(c.red, c.green, c.blue, c.alpha);
  return rgba;
}

namespace {

std::string styleSheet() {
  const std::string link = cssColor(StyledText::linkColor);
  std::string css;
  css += ".installer-view, .lower-area, .progress-panel { background-color: " + cssColor(white) + "; }\n";
  css += ".divider { min-height: 1px; background-color: " + cssColor(divider) + "; }\n";
  css += "label.status { font-size: 11px; font-weight: normal; color: " + cssColor(statusText) + "; }\n";
  css += "label.detail { font-size: 11px; font-weight: normal; color: " + cssColor(detailText) + "; }\n";
  css += "label.percent { font-size: 11px; font-weight: normal; font-feature-settings: \"tnum\"; color: " +
         cssColor(statusText) + "; }\n";
  css += "label.agreement { font-size: 12px; font-weight: normal; color: " +
         cssColor(StyledText::plainColor) + "; }\n";
  css += "label.agreement > link, label.agreement > link:visited, label.agreement > link:hover,"
         " label.agreement > link:active { color: " + link + "; text-decoration-line: underline; }\n";
  css += ".dimming { background-color: " + cssColor(dimming) + "; }\n";
  css += ".dialog-box { background-color: " + cssColor(white) +
         "; border-radius: 10px; box-shadow: 0 6px 18px " + cssColor(dialogShadow) + "; }\n";
  css += "label.dialog-title { font-size: 13px; font-weight: 600; color: " + cssColor(dialogTitle) + "; }\n";
  css += "label.dialog-message { font-size: 11px; font-weight: normal; color: " +
         cssColor(dialogMessage) + "; }\n";
  // The two button looks replace the theme's button entirely.
  css += "button.pill, button.outline { min-height: 0; min-width: 0; padding: 0 14px;"
         " border-radius: 9999px; background-image: none; box-shadow: none; text-shadow: none;"
         " outline-offset: 1px; }\n";
  css += "button.pill { border: none; }\n";
  css += "button.outline, button.outline:hover { border: 1px solid " + cssColor(outlineBorder) +
         "; background-color: " + cssColor(outlineFill) + "; color: " + cssColor(outlineTitle) +
         "; font-size: 12px; font-weight: normal; padding: 0 13px; }\n";
  css += "button.outline:active { background-color: " + cssColor(outlineFillPressed) + "; }\n";
  return css;
}

}  // namespace

void installStyleSheet(const Glib::RefPtr<Gdk::Display>& display) {
  static std::set<const void*>* installed = new std::set<const void*>();  // main thread
  if (!display || !installed->insert(display->gobj()).second) return;
  auto provider = Gtk::CssProvider::create();
  provider->load_from_data(styleSheet());
  Gtk::StyleContext::add_provider_for_display(display, provider,
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

}  // namespace installer::palette
