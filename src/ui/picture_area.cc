#include "ui/picture_area.h"

#include <gtkmm/snapshot.h>

#include "ui/accessible_roles.h"
#include "ui/installer_palette.h"

namespace installer {

PictureArea::PictureArea(Rgba fallback) : fallback_(fallback) {
  set_overflow(Gtk::Overflow::HIDDEN);
  markPresentation(*this);
}

void PictureArea::setPicture(const Glib::RefPtr<Gdk::Texture>& picture) {
  if (picture == picture_) return;
  picture_ = picture;
  queue_draw();
}

void PictureArea::measure_vfunc(Gtk::Orientation, int, int& minimum, int& natural,
                                int& minimumBaseline, int& naturalBaseline) const {
  minimum = natural = 0;
  minimumBaseline = naturalBaseline = -1;
}

void PictureArea::snapshot_vfunc(const Glib::RefPtr<Gtk::Snapshot>& snapshot) {
  const Gdk::Rectangle bounds(0, 0, get_width(), get_height());
  if (bounds.get_width() <= 0 || bounds.get_height() <= 0) return;
  if (picture_) {
    snapshot->push_clip(bounds);
    snapshot->append_texture(picture_, bounds);
    snapshot->pop();
  } else {
    snapshot->append_color(palette::gdkColor(fallback_), bounds);
  }
}

}  // namespace installer
