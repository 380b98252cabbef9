#include "ui/carousel_view.h"

#include <algorithm>
#include <cmath>

#include <gdkmm/frameclock.h>

#include "ui/accessible_roles.h"
#include "ui/bundle_pictures.h"
#include "ui/picture_area.h"

namespace installer {
namespace {

constexpr double kFadeMicroseconds = 350000;
constexpr double kFallbackWhite = 0.95;

// The ease-in-out timing curve, cubic Bézier (0.42, 0) (0.58, 1): the
// progress reached at time fraction `t`.
double easeInOut(double t) {
  constexpr double x1 = 0.42, x2 = 0.58;
  auto bezier = [](double a, double b, double s) {
    return 3 * a * (1 - s) * (1 - s) * s + 3 * b * (1 - s) * s * s + s * s * s;
  };
  double lo = 0, hi = 1, s = t;
  for (int i = 0; i < 40; ++i) {  // bisection: x(s) is monotonic
    s = (lo + hi) / 2;
    if (bezier(x1, x2, s) < t) lo = s; else hi = s;
  }
  return bezier(0, 1, s);
}

Gtk::Widget* makePlaceholder() {
  auto* placeholder = Gtk::make_managed<PictureArea>(
      Rgba{kFallbackWhite, kFallbackWhite, kFallbackWhite, 1}, PictureArea::Fit::cover);
  placeholder->setBundlePicture("Loading");
  placeholder->set_can_target(false);
  placeholder->set_overflow(Gtk::Overflow::HIDDEN);
  placeholder->set_hexpand(true);
  placeholder->set_vexpand(true);
  return placeholder;
}

}  // namespace

CarouselView::CarouselView(const platform::URL& url) : CarouselView(url, CarouselOptions{}) {}

CarouselView::CarouselView(const platform::URL& url, CarouselOptions options) {
  ReadyBinding binding{[this] { return ready_; }, [this](bool ready) { setReady(ready); }};
  webView_ = Gtk::make_managed<CarouselWebView>(url, std::move(binding), options);
  placeholder_ = makePlaceholder();
  set_child(*webView_);
  // The page is decoration that takes no input: nothing in it is read.
  markPresentation(*this);
  add_overlay(*placeholder_);
  set_hexpand(true);
  set_vexpand(true);
  set_overflow(Gtk::Overflow::HIDDEN);
  // Either side may go first: gtkmm deletes this object after its GTK
  // children when it is managed, and before them when it is not.
  webView_->signal_destroy().connect(sigc::mem_fun(*this, &CarouselView::webViewGone));
  placeholder_->signal_destroy().connect(sigc::mem_fun(*this, &CarouselView::placeholderGone));
}

CarouselView::~CarouselView() {
  // The web view's ready binding points at this object.
  if (webView_ != nullptr) webView_->dismantle();
  if (placeholder_ != nullptr && fadeTick_ != 0) placeholder_->remove_tick_callback(fadeTick_);
}

void CarouselView::webViewGone() { webView_ = nullptr; }

void CarouselView::placeholderGone() {
  placeholder_ = nullptr;
  fadeTick_ = 0;
}

void CarouselView::setURL(const platform::URL& url) {
  if (webView_ != nullptr) webView_->setURL(url);
}

void CarouselView::setReady(bool ready) {
  if (ready_ == ready) return;
  ready_ = ready;
  if (placeholder_ == nullptr) return;
  fadeFrom_ = placeholder_->get_opacity();
  fadeTo_ = ready ? 0 : 1;
  fadeStart_ = -1;
  if (!placeholder_->get_mapped()) {
    placeholder_->set_opacity(fadeTo_);
    return;
  }
  if (fadeTick_ == 0) fadeTick_ = placeholder_->add_tick_callback(sigc::mem_fun(*this, &CarouselView::fadeStep));
}

bool CarouselView::fadeStep(const Glib::RefPtr<Gdk::FrameClock>& clock) {
  const std::int64_t now = clock->get_frame_time();
  if (fadeStart_ < 0) fadeStart_ = now;
  const double t = std::clamp(static_cast<double>(now - fadeStart_) / kFadeMicroseconds, 0.0, 1.0);
  placeholder_->set_opacity(fadeFrom_ + (fadeTo_ - fadeFrom_) * easeInOut(t));
  if (t < 1) return true;
  fadeTick_ = 0;
  return false;
}

}  // namespace installer
