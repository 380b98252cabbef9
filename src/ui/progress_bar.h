// The progress bar: a grey capsule over the whole width with an accent
// capsule from the leading edge, as wide as the width times `fraction`.
// Changes of the fraction glide there with a 0.15 s ease-out curve.
//
// Main thread only. The animation runs on the widget's frame clock and
// stops as soon as it arrives, so an idle bar costs no CPU; unmapped bars
// and a desktop with animations turned off jump straight to the value.
// Accessible as GTK's own progress bar (it is one, drawn differently), so
// assistive technology reads its current value from 0 to 1.
#pragma once

#include <cstdint>

#include <glibmm/extraclassinit.h>
#include <gtkmm/progressbar.h>

#include "ui/installer_view_model.h"

namespace installer {

class ProgressBarClassInit : public Glib::ExtraClassInit {
 protected:
  ProgressBarClassInit();
};

class ProgressBar : public ProgressBarClassInit, public Gtk::ProgressBar {
 public:
  explicit ProgressBar(Rgba accent);
  ~ProgressBar() override;

  // Clamped to 0…1 (NaN is 0).
  void setFraction(double fraction);
  double fraction() const { return target_; }
  // What is drawn now (differs from fraction() while animating).
  double shownFraction() const { return shown_; }
  bool isAnimating() const { return tickId_ != 0; }

  static constexpr std::int64_t kAnimationMicroseconds = 150000;

 protected:
  void snapshot_vfunc(const Glib::RefPtr<Gtk::Snapshot>& snapshot) override;
  void measure_vfunc(Gtk::Orientation orientation, int forSize, int& minimum, int& natural,
                     int& minimumBaseline, int& naturalBaseline) const override;
  void on_unmap() override;

 private:
  bool onTick(const Glib::RefPtr<Gdk::FrameClock>& clock);
  void show(double fraction);
  void stopAnimation();

  Rgba accent_;
  double target_ = 0;
  double shown_ = 0;
  double from_ = 0;
  std::int64_t startTime_ = -1;  // frame time of the animation's first frame
  guint tickId_ = 0;
};

// The CSS ease-out curve (cubic Bézier 0, 0, 0.58, 1) at time t in 0…1.
double easeOut(double t);

}  // namespace installer
