#include "ui/picture_area.h"

#include <algorithm>
#include <cmath>

#include <gtkmm/snapshot.h>

#include "ui/accessible_roles.h"
#include "ui/bundle_pictures.h"
#include "ui/installer_palette.h"

namespace installer {

PictureArea::PictureArea(Rgba fallback, Fit fit) : fallback_(fallback), fit_(fit) {
  set_overflow(Gtk::Overflow::HIDDEN);
  markPresentation(*this);
  property_scale_factor().signal_changed().connect([this] { queue_draw(); });
}

void PictureArea::setSource(Source source) {
  source_ = std::move(source);
  pictureName_.clear();
  queue_draw();
}

void PictureArea::setBundlePicture(const std::string& name) {
  if (name == pictureName_ && (source_ || name.empty())) return;
  if (name.empty()) {
    setSource({});
    return;
  }
  setSource([name](int scale) { return bundlePicture(name, scale); });
  pictureName_ = name;
}

void PictureArea::measure_vfunc(Gtk::Orientation, int, int& minimum, int& natural,
                                int& minimumBaseline, int& naturalBaseline) const {
  minimum = natural = 0;
  minimumBaseline = naturalBaseline = -1;
}

void PictureArea::snapshot_vfunc(const Glib::RefPtr<Gtk::Snapshot>& snapshot) {
  const double width = get_width(), height = get_height();
  if (width <= 0 || height <= 0) return;
  const Gdk::Rectangle bounds(0, 0, get_width(), get_height());
  const int scale = std::max(1, get_scale_factor());
  const auto picture = source_ ? source_(scale) : Glib::RefPtr<Gdk::Texture>();
  if (!picture || picture->get_width() <= 0 || picture->get_height() <= 0) {
    drawn_.reset();
    original_.reset();
    snapshot->append_color(palette::gdkColor(fallback_), bounds);
    return;
  }

  // Where the picture goes, in points.
  double w = width, h = height;
  if (fit_ != Fit::fill) {
    const double sx = width / picture->get_width(), sy = height / picture->get_height();
    const double s = fit_ == Fit::cover ? std::max(sx, sy) : std::min(sx, sy);
    w = picture->get_width() * s;
    h = picture->get_height() * s;
  }
  const int pixelsWide = static_cast<int>(std::lround(w * scale));
  const int pixelsHigh = static_cast<int>(std::lround(h * scale));
  if (picture != original_ || !drawn_ || drawn_->get_width() != pixelsWide ||
      drawn_->get_height() != pixelsHigh) {
    original_ = picture;
    drawn_ = resampledTexture(picture, pixelsWide, pixelsHigh);
  }
  if (!drawn_) return;
  const float x = static_cast<float>((width - w) / 2), y = static_cast<float>((height - h) / 2);
  snapshot->push_clip(bounds);
  const graphene_rect_t area = GRAPHENE_RECT_INIT(x, y, static_cast<float>(w), static_cast<float>(h));
  gtk_snapshot_append_texture(snapshot->gobj(), drawn_->gobj(), &area);
  snapshot->pop();
}

}  // namespace installer
