// A picture drawn into the widget's bounds, or a flat fallback colour when
// there is no picture. It asks for no size of its own: its parent decides.
//
// The picture comes from a source asked with the widget's scale factor at
// each draw, so a screen of scale 2 gets the source's 2x picture. What is
// drawn always has the device's pixel size: a picture of another size is
// resampled once (high-quality filtering) and kept until the size, the
// scale or the picture changes.
//
// Main thread only. Holds the textures it draws (shared and immutable).
#pragma once

#include <functional>

#include <gdkmm/texture.h>
#include <gtkmm/widget.h>

#include "ui/installer_view_model.h"

namespace installer {

class PictureArea : public Gtk::Widget {
 public:
  enum class Fit {
    fill,     // stretched to exactly the bounds
    cover,    // proportions kept, covering the bounds, clipped
    contain,  // proportions kept, inside the bounds, centred
  };
  // The picture for a scale factor (1, 2, ...), or null.
  using Source = std::function<Glib::RefPtr<Gdk::Texture>(int scale)>;

  explicit PictureArea(Rgba fallback, Fit fit = Fit::fill);
  // An unset source draws the fallback colour.
  void setSource(Source source);
  // The bundle picture `name` ("Background"); empty: the fallback colour.
  // Setting the same name again changes nothing.
  void setBundlePicture(const std::string& name);
  const std::string& bundlePictureName() const { return pictureName_; }

  // What the last draw used, in device pixels; null when it drew the
  // fallback. For tests.
  const Glib::RefPtr<Gdk::Texture>& drawnTexture() const { return drawn_; }

 protected:
  void snapshot_vfunc(const Glib::RefPtr<Gtk::Snapshot>& snapshot) override;
  void measure_vfunc(Gtk::Orientation orientation, int forSize, int& minimum, int& natural,
                     int& minimumBaseline, int& naturalBaseline) const override;

 private:
  Rgba fallback_;
  Fit fit_;
  Source source_;
  std::string pictureName_;
  Glib::RefPtr<Gdk::Texture> original_;  // what `drawn_` was made from
  Glib::RefPtr<Gdk::Texture> drawn_;
};

}  // namespace installer
