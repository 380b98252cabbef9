// A picture stretched to exactly the widget's size and clipped to it, or
// a flat fallback colour when there is no picture. It asks for no size of
// its own: its parent decides.
//
// Main thread only. Holds the texture it draws (textures are shared and
// immutable).
#pragma once

#include <gdkmm/texture.h>
#include <gtkmm/widget.h>

#include "ui/installer_view_model.h"

namespace installer {

class PictureArea : public Gtk::Widget {
 public:
  explicit PictureArea(Rgba fallback);
  // Null draws the fallback colour.
  void setPicture(const Glib::RefPtr<Gdk::Texture>& picture);
  const Glib::RefPtr<Gdk::Texture>& picture() const { return picture_; }

 protected:
  void snapshot_vfunc(const Glib::RefPtr<Gtk::Snapshot>& snapshot) override;
  void measure_vfunc(Gtk::Orientation orientation, int forSize, int& minimum, int& natural,
                     int& minimumBaseline, int& naturalBaseline) const override;

 private:
  Rgba fallback_;
  Glib::RefPtr<Gdk::Texture> picture_;
};

}  // namespace installer
