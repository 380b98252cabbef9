// The window's colours and the style sheet that carries them.
//
// Main thread only (GTK). The style sheet is installed once per display, at
// application priority, by the first view that needs it.
#pragma once

#include <string>

#include <glibmm/refptr.h>

#include "ui/installer_view_model.h"

namespace Gdk {
class Display;
class RGBA;
}  // namespace Gdk

namespace installer::palette {

constexpr Rgba white{1, 1, 1, 1};
constexpr Rgba accentBlue{0.2, 0.4745, 0.9647, 1};  // 51, 121, 246
constexpr Rgba pictureFallback{0.2, 0.3, 0.36, 1};
constexpr Rgba divider{0.9, 0.9, 0.9, 1};  // also the progress track
constexpr Rgba statusText{0.35, 0.35, 0.35, 1};  // status and percentage
constexpr Rgba detailText{0.55, 0.55, 0.55, 1};  // speed and time
constexpr Rgba dialogTitle{0.12, 0.12, 0.12, 1};
constexpr Rgba dialogMessage{0.45, 0.45, 0.45, 1};
constexpr Rgba outlineTitle{0.25, 0.25, 0.25, 1};
constexpr Rgba outlineBorder{0.82, 0.82, 0.82, 1};
constexpr Rgba outlineFill{1, 1, 1, 1};
constexpr Rgba outlineFillPressed{0.93, 0.93, 0.93, 1};
constexpr Rgba dimming{0, 0, 0, 0.14};
constexpr Rgba dialogShadow{0, 0, 0, 0.22};

// "rgba(r,g,b,a)" with 0…255 channels kept exact (fractions included).
std::string cssColor(const Rgba& colour);
Gdk::RGBA gdkColor(const Rgba& colour);

// Installs the window's style sheet on `display` unless already there.
void installStyleSheet(const Glib::RefPtr<Gdk::Display>& display);

}  // namespace installer::palette
