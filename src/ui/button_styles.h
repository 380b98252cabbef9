// The window's two button looks, as values applied to a Gtk::Button:
//  - PillButtonStyle: a capsule filled with `fill` (at 0.82 opacity while
//    pressed), the title in medium weight at `fontSize` in `titleColor`,
//    14 px inset on each side, at least `minWidth` wide;
//  - OutlineButtonStyle: a white capsule (0.93 grey while pressed) with a
//    1 px grey border, the title regular 12 px dark grey, same inset.
// AnyButtonStyle holds either, so one list of buttons can mix them.
//
// Main thread only. Applying a style adds a CSS class and, for the pill, a
// small style provider of the button's own; the button keeps both. The
// window's style sheet (installer_palette.h) must be installed for the
// outline look and the shared resets.
#pragma once

#include <functional>

#include "ui/installer_palette.h"

namespace Gtk {
class Button;
}

namespace installer {

struct PillButtonStyle {
  Rgba fill = palette::accentBlue;
  Rgba titleColor = palette::white;
  double fontSize = 16;
  int minWidth = 0;  // 0: no minimum
};

struct OutlineButtonStyle {
  int minWidth = 0;
};

class AnyButtonStyle {
 public:
  AnyButtonStyle(PillButtonStyle style);     // NOLINT: implicit on purpose
  AnyButtonStyle(OutlineButtonStyle style);  // NOLINT
  void apply(Gtk::Button& button) const { apply_(button); }

 private:
  std::function<void(Gtk::Button&)> apply_;
};

void applyButtonStyle(Gtk::Button& button, const PillButtonStyle& style);
void applyButtonStyle(Gtk::Button& button, const OutlineButtonStyle& style);

}  // namespace installer
