#include "ui/progress_bar.h"

#include <algorithm>
#include <cmath>

#include <gdkmm/frameclock.h>
#include <gtkmm/settings.h>
#include <gtkmm/snapshot.h>

#include "ui/installer_palette.h"

namespace installer {
namespace {

void classInit(void* klass, void*) {
  gtk_widget_class_set_css_name(GTK_WIDGET_CLASS(klass), "installer-progress");
}

void appendCapsule(const Glib::RefPtr<Gtk::Snapshot>& snapshot, const Rgba& colour, float width,
                   float height) {
  if (width <= 0 || height <= 0) return;
  graphene_rect_t rect;
  graphene_rect_init(&rect, 0, 0, width, height);
  GskRoundedRect rounded;
  const float radius = std::min(width, height) / 2;
  gsk_rounded_rect_init_from_rect(&rounded, &rect, radius);
  gtk_snapshot_push_rounded_clip(snapshot->gobj(), &rounded);
  const GdkRGBA rgba{static_cast<float>(colour.red), static_cast<float>(colour.green),
                     static_cast<float>(colour.blue), static_cast<float>(colour.alpha)};
  gtk_snapshot_append_color(snapshot->gobj(), &rgba, &rect);
  gtk_snapshot_pop(snapshot->gobj());
}

bool animationsEnabled(Gtk::Widget& widget) {
  auto settings = widget.get_settings();
  return !settings || settings->property_gtk_enable_animations().get_value();
}

}  // namespace

double easeOut(double t) {
  t = std::clamp(t, 0.0, 1.0);
  // Control points (0,0) (0,0) (0.58,1) (1,1): find the curve parameter
  // whose x is t, then take its y.
  auto x = [](double s) { return 3 * (1 - s) * s * s * 0.58 + s * s * s; };
  auto y = [](double s) { return 3 * (1 - s) * s * s + s * s * s; };
  double lo = 0, hi = 1;
  for (int i = 0; i < 40; ++i) {
    const double mid = (lo + hi) / 2;
    (x(mid) < t ? lo : hi) = mid;
  }
  return y((lo + hi) / 2);
}

ProgressBarClassInit::ProgressBarClassInit() : Glib::ExtraClassInit(classInit) {}

ProgressBar::ProgressBar(Rgba accent)
    : Glib::ObjectBase("InstallerProgressBar"), ProgressBarClassInit(), Gtk::ProgressBar(), accent_(accent) {
  set_focusable(false);
  // The stock trough is neither drawn nor announced: snapshot_vfunc draws.
  for (auto* child = get_first_child(); child; child = child->get_next_sibling()) child->set_visible(false);
}

ProgressBar::~ProgressBar() { stopAnimation(); }

void ProgressBar::setFraction(double fraction) {
  if (!(fraction > 0)) fraction = 0;
  if (fraction > 1) fraction = 1;
  if (fraction == target_) return;
  target_ = fraction;
  set_fraction(target_);
  if (!get_mapped() || !animationsEnabled(*this)) {
    stopAnimation();
    show(target_);
    return;
  }
  from_ = shown_;
  startTime_ = -1;
  if (tickId_ == 0) tickId_ = add_tick_callback(sigc::mem_fun(*this, &ProgressBar::onTick));
}

bool ProgressBar::onTick(const Glib::RefPtr<Gdk::FrameClock>& clock) {
  const std::int64_t now = clock->get_frame_time();
  if (startTime_ < 0) startTime_ = now;
  const double t = static_cast<double>(now - startTime_) / kAnimationMicroseconds;
  if (t >= 1) {
    tickId_ = 0;
    show(target_);
    return false;  // removes the callback
  }
  show(from_ + (target_ - from_) * easeOut(t));
  return true;
}

void ProgressBar::show(double fraction) {
  if (fraction == shown_) return;
  shown_ = fraction;
  queue_draw();
}

void ProgressBar::stopAnimation() {
  if (tickId_ != 0) remove_tick_callback(tickId_);
  tickId_ = 0;
}

void ProgressBar::on_unmap() {
  stopAnimation();
  show(target_);
  Gtk::ProgressBar::on_unmap();
}

void ProgressBar::measure_vfunc(Gtk::Orientation orientation, int, int& minimum, int& natural,
                                int& minimumBaseline, int& naturalBaseline) const {
  minimum = natural = orientation == Gtk::Orientation::VERTICAL ? 8 : 0;
  minimumBaseline = naturalBaseline = -1;
}

void ProgressBar::snapshot_vfunc(const Glib::RefPtr<Gtk::Snapshot>& snapshot) {
  const float width = static_cast<float>(get_width());
  const float height = static_cast<float>(get_height());
  appendCapsule(snapshot, palette::divider, width, height);
  appendCapsule(snapshot, accent_, width * static_cast<float>(shown_), height);
}

}  // namespace installer
