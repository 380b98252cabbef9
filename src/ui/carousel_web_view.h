// The carousel's web page: one WebKitGTK web view showing the configured
// page as decoration, with the coordinator that loads it, watches for the
// page's "carouselReady" message and reports failures as `carouselFail`.
//
// Ownership and threads: GTK widgets, main thread only. The widget owns its
// coordinator (shared so that timers can hold it weakly) and the WebKit web
// view; the coordinator never keeps the widget alive. Every WebKit signal,
// timer and telemetry call happens on the main thread.
//
// The web engine (web view, network session, content manager) is created
// when the widget is first mapped, so an installer that never shows the
// carousel starts no web process. Destroying the widget dismantles it: the
// load stops, every handler is disconnected and the "carouselReady" message
// handler is unregistered.
//
// The page contract: the page posts any message to
// `window.webkit.messageHandlers.carouselReady`; its content is ignored.
//
// The engine's settings: an ephemeral network session per view (no cookies,
// cache or storage outlive it), media never plays without a user gesture
// (autoplay denied), a transparent background, the user agent exactly
// "Zelvox-AI-Installer", and the header "ngrok-skip-browser-warning: 1" on
// the page request. The page is decoration: a primary-button press moves
// the window instead of reaching the page, and there is no context menu;
// script dialogs get their default answers without being shown, print and
// file-chooser requests are refused and downloads are cancelled (WebKitGTK
// would otherwise show or save them).
//
// Errors. WebKitGTK reports a failed load as a GError; it is reported as
// "<domain string> <code>" with the quark's string as WebKitGTK registers it.
// The WebKit-on-macOS errors that must not be reported map as follows:
//   NSURLErrorDomain -999 (cancelled)       -> "WebKitNetworkError" 302
//                                              (WEBKIT_NETWORK_ERROR_CANCELLED)
//   WebKitErrorDomain 101 (cannot show URL) -> "WebKitPolicyError" 101
//                                              (WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI)
//   WebKitErrorDomain 102 (interrupted by   -> "WebKitPolicyError" 102
//     policy change)                           (WEBKIT_POLICY_ERROR_FRAME_LOAD_
//                                               INTERRUPTED_BY_POLICY_CHANGE)
//   WebKitErrorDomain 204 (plug-in will     -> "WebKitMediaError" 204
//     handle load)                             (WEBKIT_MEDIA_ERROR_WILL_HANDLE_LOAD;
//                                               WebKitGTK 6 has no plug-ins and
//                                               kept the number for media)
// Other errors arrive in the domain of the layer that failed, for example
// "g-io-error-quark 39" (connection refused) or "g-resolver-error-quark 0"
// (unknown host). WebKitGTK has no per-request time-out: the coordinator's
// own load limit stops the load and reports GIO's time-out error,
// "g-io-error-quark 24" (G_IO_ERROR_TIMED_OUT), in place of NSURLErrorDomain
// -1001. A second death of the web process is reported as "CarouselView 1".
//
// A web process that cannot start. WebKitGTK ends the whole program when
// its sandbox's D-Bus proxy fails to start (see web_process_check.h), so
// before the engine is made, and before every request (a request may start
// a new web process), the coordinator checks what that start needs. When it
// would fail, no engine is made or no request is sent: the load counts as
// failed and is reported once as "CarouselView 2" (web content process
// cannot start), the reason goes to the system log, and the placeholder
// stays. A later new URL tries again.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <gtkmm/widget.h>

#include "platform/url.h"

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitUserContentManager WebKitUserContentManager;
typedef struct _WebKitWebResource WebKitWebResource;

namespace installer {

class Reporter;

// Deadlines and telemetry of a carousel; the defaults are the product's.
struct CarouselOptions {
  // Limit for the page request, from the load until the page's main
  // document has arrived completely.
  std::chrono::milliseconds loadTimeout{15000};
  // The ready check runs this long after each load of a new URL.
  std::chrono::milliseconds readyTimeout{20000};
  // Starts the ready check's wait: runs `check` once on the main thread
  // after `delay`, unless the returned connection is disconnected first.
  // Unset: a GLib timeout. Tests pass their own to decide when the
  // deadline passes.
  std::function<sigc::connection(std::chrono::milliseconds delay, sigc::slot<void()> check)>
      scheduleReadyCheck{};
  // Where `carouselFail` goes; null means Reporter::shared(). Not owned;
  // must outlive the carousel.
  Reporter* reporter = nullptr;
};

// A two-way binding to the owner's ready flag. Both functions are called on
// the main thread only, and only while the web view exists.
struct ReadyBinding {
  std::function<bool()> get;
  std::function<void(bool)> set;
};

class CarouselWebView : public Gtk::Widget {
 public:
  class Coordinator;

  CarouselWebView(platform::URL url, ReadyBinding isReady, CarouselOptions options = {});
  ~CarouselWebView() override;

  // The update: a URL different from the one last loaded starts a new load
  // with fresh flags; the same URL does nothing. Before the first map it
  // only replaces the URL to load.
  void setURL(const platform::URL& url);
  const platform::URL& url() const { return url_; }

  // The dismantling: stops the load and detaches the coordinator (see
  // Coordinator::dismantle). Idempotent; the destructor calls it. An owner
  // whose ready binding dies before this widget calls it first.
  void dismantle();

  // The engine's web view; null until the widget is first mapped. For
  // tests and benchmarks.
  WebKitWebView* webView() const { return webView_; }
  const Coordinator& coordinator() const { return *coordinator_; }

 private:
  void makeWebView();
  void releaseWebView();

  platform::URL url_;
  std::shared_ptr<Coordinator> coordinator_;
  WebKitWebView* webView_ = nullptr;  // a child of this widget once made
  bool released_ = false;             // disposed: never make the engine again
};

// The coordinator: navigation policy, load and failure bookkeeping, the
// script-message handler, the ready check. One per CarouselWebView.
class CarouselWebView::Coordinator : public std::enable_shared_from_this<Coordinator> {
 public:
  Coordinator(ReadyBinding isReady, CarouselOptions options);
  ~Coordinator();
  Coordinator(const Coordinator&) = delete;
  Coordinator& operator=(const Coordinator&) = delete;

  // Connects the web view's and content manager's signals to this
  // coordinator and registers the "carouselReady" handler. Neither is owned.
  void attach(WebKitWebView* webView, WebKitUserContentManager* contentManager);
  // Stops loading, disconnects every handler, unregisters the message
  // handler and cancels the timers. Idempotent.
  void dismantle();

  // A load with fresh flags: sets `loadedURL`, queues the ready flag's
  // reset, sends the request and schedules the load limit and the ready
  // check for this load (a pending check of an earlier load is dropped).
  void load(const platform::URL& url);
  // Runs the web-process check; a problem makes `url` the loaded URL and is
  // reported as its one failure. True when a web process can start.
  bool webProcessCanStart(const platform::URL& url);

  const std::optional<platform::URL>& loadedURL() const { return loadedURL_; }
  bool reportedFailure() const { return reportedFailure_; }
  bool didRetryAfterProcessDeath() const { return didRetryAfterProcessDeath_; }

 private:
  void sendRequest();
  void readyCheck(const platform::URL& url);
  void loadTimedOut();
  void failLoad(const std::string& domain, int code);
  void report(const std::string& url, const std::string& error);
  void processTerminated();
  void watchMainResource(WebKitWebResource* resource);
  void unwatchMainResource();
  void stopLoadLimit();

  struct Signals;  // the C signal handlers
  friend struct Signals;

  ReadyBinding isReady_;
  std::optional<platform::URL> loadedURL_;
  bool reportedFailure_ = false;
  bool didRetryAfterProcessDeath_ = false;

  CarouselOptions options_;
  WebKitWebView* webView_ = nullptr;
  WebKitUserContentManager* contentManager_ = nullptr;
  // The load limit runs from a request until that page's main document
  // has arrived (its main resource finished) or the load ended otherwise.
  bool awaitingMainResource_ = false;
  bool timedOut_ = false;  // the limit stopped this request; keep it stopped
  WebKitWebResource* mainResource_ = nullptr;  // weak pointer; watched for its end
  sigc::connection loadLimit_;
  sigc::connection readyCheck_;
  sigc::connection readyReset_;
};

}  // namespace installer
