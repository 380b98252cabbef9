// The carousel in the window's upper area: the web page (CarouselWebView)
// below and the placeholder above it until the page posts "carouselReady".
//
// The placeholder is the bundle's "Loading" picture scaled to fill the area
// (aspect fill, clipped), or flat white 0.95 without it. It never takes
// pointer input, so a press on it reaches the page below (which moves the
// window). When the ready flag turns true its opacity goes from 1 to 0 over
// 0.35 s on an ease-in-out curve, and back when a new load resets the flag.
// The view takes all the space it is offered and clips to its bounds.
//
// Ownership and threads: a GTK widget, main thread only; it owns its
// children and the ready flag (the only state of the view). The web engine
// starts when the view is first mapped (see carousel_web_view.h).
//
// The installer view's factory builds one as
// `Gtk::make_managed<CarouselView>(url)`.
#pragma once

#include <cstdint>

#include <gtkmm/overlay.h>

#include "platform/url.h"
#include "ui/carousel_web_view.h"

namespace installer {

class CarouselView : public Gtk::Overlay {
 public:
  explicit CarouselView(const platform::URL& url);
  CarouselView(const platform::URL& url, CarouselOptions options);
  ~CarouselView() override;

  // A different URL loads it (the ready flag goes back to false); the
  // same URL does nothing.
  void setURL(const platform::URL& url);

  bool ready() const { return ready_; }
  CarouselWebView& webView() { return *webView_; }
  // The layer over the page; its opacity shows the fade.
  Gtk::Widget& placeholder() { return *placeholder_; }

 private:
  void setReady(bool ready);
  void webViewGone();
  void placeholderGone();
  bool fadeStep(const Glib::RefPtr<Gdk::FrameClock>& clock);

  bool ready_ = false;
  CarouselWebView* webView_;  // managed child; null once disposed
  Gtk::Widget* placeholder_;  // managed overlay; null once disposed
  guint fadeTick_ = 0;
  double fadeFrom_ = 1, fadeTo_ = 1;
  std::int64_t fadeStart_ = -1;  // frame time in microseconds; -1 before the first frame
};

}  // namespace installer
