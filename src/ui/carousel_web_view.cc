#include "ui/carousel_web_view.h"

#include <webkit/webkit.h>

#include <glibmm/main.h>
#include <gtkmm/binlayout.h>

#include "platform/system_log.h"
#include "telemetry/reporter.h"
#include "ui/web_process_check.h"

namespace installer {
namespace {

constexpr char kMessageChannel[] = "carouselReady";
constexpr char kUserAgent[] = "Zelvox-AI-Installer";

bool isIgnoredError(const GError* error) {
  if (error->domain == WEBKIT_NETWORK_ERROR) return error->code == WEBKIT_NETWORK_ERROR_CANCELLED;
  if (error->domain == WEBKIT_POLICY_ERROR)
    return error->code == WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI ||
           error->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE;
  if (error->domain == WEBKIT_MEDIA_ERROR) return error->code == WEBKIT_MEDIA_ERROR_WILL_HANDLE_LOAD;
  return false;
}

// A primary-button press moves the window instead of reaching the page,
// the way a title bar does.
void startWindowMove(GtkGestureClick* gesture, int, double x, double y, gpointer) {
  auto* controller = GTK_EVENT_CONTROLLER(gesture);
  gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
  GtkWidget* widget = gtk_event_controller_get_widget(controller);
  GtkNative* native = gtk_widget_get_native(widget);
  if (native == nullptr) return;
  GdkSurface* surface = gtk_native_get_surface(native);
  GdkDevice* device = gtk_event_controller_get_current_event_device(controller);
  if (surface == nullptr || !GDK_IS_TOPLEVEL(surface) || device == nullptr) return;
  double nativeX = 0, nativeY = 0, offsetX = 0, offsetY = 0;
  if (!gtk_widget_translate_coordinates(widget, GTK_WIDGET(native), x, y, &nativeX, &nativeY)) return;
  gtk_native_get_surface_transform(native, &offsetX, &offsetY);
  gdk_toplevel_begin_move(GDK_TOPLEVEL(surface), device,
                          static_cast<int>(gtk_gesture_single_get_current_button(GTK_GESTURE_SINGLE(gesture))),
                          nativeX + offsetX, nativeY + offsetY,
                          gtk_event_controller_get_current_event_time(controller));
  gtk_event_controller_reset(controller);
}

gboolean refuseContextMenu(WebKitWebView*, WebKitContextMenu*, WebKitHitTestResult*, gpointer) {
  return TRUE;
}

// Handled with the default answer (alert dismissed, confirm false, prompt
// none), as a web view without a user-interface delegate does; unhandled,
// WebKitGTK would draw a dialog over the page and hold its script.
gboolean dismissScriptDialog(WebKitWebView*, WebKitScriptDialog*, gpointer) { return TRUE; }
gboolean refusePrint(WebKitWebView*, WebKitPrintOperation*, gpointer) { return TRUE; }
gboolean refuseFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer) {
  webkit_file_chooser_request_cancel(request);
  return TRUE;
}
void cancelDownload(WebKitNetworkSession*, WebKitDownload* download, gpointer) { webkit_download_cancel(download); }

// Presses move the window; no context menu; drawing and scrolling stay the
// engine's. The page is decoration: it opens no dialogs, print or file
// panels and saves no downloads.
void makePassive(WebKitWebView* webView) {
  GtkGesture* press = gtk_gesture_click_new();
  gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(press), GDK_BUTTON_PRIMARY);
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(press), GTK_PHASE_CAPTURE);
  g_signal_connect(press, "pressed", G_CALLBACK(startWindowMove), nullptr);
  gtk_widget_add_controller(GTK_WIDGET(webView), GTK_EVENT_CONTROLLER(press));
  g_signal_connect(webView, "context-menu", G_CALLBACK(refuseContextMenu), nullptr);
  g_signal_connect(webView, "script-dialog", G_CALLBACK(dismissScriptDialog), nullptr);
  g_signal_connect(webView, "print", G_CALLBACK(refusePrint), nullptr);
  g_signal_connect(webView, "run-file-chooser", G_CALLBACK(refuseFileChooser), nullptr);
  g_signal_connect(webkit_web_view_get_network_session(webView), "download-started", G_CALLBACK(cancelDownload),
                   nullptr);
}

}  // namespace

// ---- the coordinator's signal handlers

struct CarouselWebView::Coordinator::Signals {
  static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                               WebKitPolicyDecisionType type, gpointer) {
    switch (type) {
      case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION: {
        WebKitNavigationAction* action =
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        if (webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_OTHER) {
          webkit_policy_decision_use(decision);
        } else {
          webkit_policy_decision_ignore(decision);
        }
        return TRUE;
      }
      case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION:
        webkit_policy_decision_ignore(decision);
        return TRUE;
      default:
        return FALSE;
    }
  }

  static GtkWidget* create(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }

  static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent, const char*, GError* error, gpointer self) {
    auto* coordinator = static_cast<Coordinator*>(self);
    if (!isIgnoredError(error)) {
      coordinator->stopLoadLimit();
      coordinator->failLoad(g_quark_to_string(error->domain), error->code);
    }
    return TRUE;  // no error page: the placeholder stays instead
  }

  static void loadChanged(WebKitWebView* webView, WebKitLoadEvent event, gpointer self) {
    auto* coordinator = static_cast<Coordinator*>(self);
    // A stop issued before the engine had begun the load does not take.
    if (coordinator->timedOut_ && event != WEBKIT_LOAD_FINISHED) webkit_web_view_stop_loading(webView);
    if (event == WEBKIT_LOAD_FINISHED) coordinator->stopLoadLimit();
  }

  static void processTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self) {
    static_cast<Coordinator*>(self)->processTerminated();
  }

  static void resourceLoadStarted(WebKitWebView* webView, WebKitWebResource* resource, WebKitURIRequest*,
                                  gpointer self) {
    if (webkit_web_view_get_main_resource(webView) == resource)
      static_cast<Coordinator*>(self)->watchMainResource(resource);
  }

  static void mainResourceDone(WebKitWebResource*, gpointer self) {
    static_cast<Coordinator*>(self)->stopLoadLimit();
  }

  static void scriptMessage(WebKitUserContentManager*, JSCValue*, gpointer self) {
    auto* coordinator = static_cast<Coordinator*>(self);
    coordinator->readyReset_.disconnect();
    coordinator->isReady_.set(true);
  }
};

// ---- Coordinator

CarouselWebView::Coordinator::Coordinator(ReadyBinding isReady, CarouselOptions options)
    : isReady_(std::move(isReady)), options_(options) {}

CarouselWebView::Coordinator::~Coordinator() { dismantle(); }

void CarouselWebView::Coordinator::attach(WebKitWebView* webView, WebKitUserContentManager* contentManager) {
  webView_ = webView;
  contentManager_ = contentManager;
  webkit_user_content_manager_register_script_message_handler(contentManager, kMessageChannel, nullptr);
  g_signal_connect(contentManager, "script-message-received::carouselReady", G_CALLBACK(Signals::scriptMessage),
                   this);
  g_signal_connect(webView, "decide-policy", G_CALLBACK(Signals::decidePolicy), this);
  g_signal_connect(webView, "create", G_CALLBACK(Signals::create), this);
  g_signal_connect(webView, "load-failed", G_CALLBACK(Signals::loadFailed), this);
  g_signal_connect(webView, "load-changed", G_CALLBACK(Signals::loadChanged), this);
  g_signal_connect(webView, "web-process-terminated", G_CALLBACK(Signals::processTerminated), this);
  g_signal_connect(webView, "resource-load-started", G_CALLBACK(Signals::resourceLoadStarted), this);
}

void CarouselWebView::Coordinator::dismantle() {
  readyReset_.disconnect();
  readyCheck_.disconnect();
  stopLoadLimit();
  if (webView_ == nullptr) return;
  webkit_web_view_stop_loading(webView_);
  g_signal_handlers_disconnect_by_data(webView_, this);
  g_signal_handlers_disconnect_by_data(contentManager_, this);
  webkit_user_content_manager_unregister_script_message_handler(contentManager_, kMessageChannel, nullptr);
  webView_ = nullptr;
  contentManager_ = nullptr;
}

void CarouselWebView::Coordinator::load(const platform::URL& url) {
  if (webView_ == nullptr) return;
  loadedURL_ = url;
  reportedFailure_ = false;
  didRetryAfterProcessDeath_ = false;

  std::weak_ptr<Coordinator> weak = weak_from_this();
  readyReset_.disconnect();
  // Ahead of the engine's own events, and never after the new page's
  // ready message (which drops it), so that message is never undone.
  readyReset_ = Glib::signal_idle().connect(
      [weak] {
        if (auto self = weak.lock()) self->isReady_.set(false);
        return false;
      },
      Glib::PRIORITY_HIGH);
  sendRequest();
  // A check still pending for an earlier URL would judge the new load by
  // the old one's deadline and could use up its one report: drop it.
  readyCheck_.disconnect();
  auto check = [weak, url] {
    if (auto self = weak.lock()) self->readyCheck(url);
  };
  if (options_.scheduleReadyCheck) {
    readyCheck_ = options_.scheduleReadyCheck(options_.readyTimeout, check);
  } else {
    readyCheck_ = Glib::signal_timeout().connect(
        [check] {
          check();
          return false;
        },
        static_cast<unsigned>(options_.readyTimeout.count()));
  }
}

bool CarouselWebView::Coordinator::webProcessCanStart(const platform::URL& url) {
  auto problem = webProcessStartProblem(currentWebSandboxFacts());
  if (!problem) return true;
  if (loadedURL_ != url) {
    loadedURL_ = url;
    reportedFailure_ = false;
    didRetryAfterProcessDeath_ = false;
  }
  platform::SystemLog("installer", "carousel").error("the carousel's web process cannot start: " + *problem);
  // "web content process cannot start"
  failLoad("CarouselView", 2);
  return false;
}

void CarouselWebView::Coordinator::sendRequest() {
  stopLoadLimit();
  timedOut_ = false;
  // WebKitGTK starts a web process for a request when none is running, and
  // ends this program when that start fails: fail the load instead.
  if (!webProcessCanStart(*loadedURL_)) return;
  WebKitURIRequest* request = webkit_uri_request_new(loadedURL_->absoluteString().c_str());
  if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request))
    soup_message_headers_append(headers, "ngrok-skip-browser-warning", "1");
  webkit_web_view_load_request(webView_, request);
  g_object_unref(request);

  std::weak_ptr<Coordinator> weak = weak_from_this();
  loadLimit_ = Glib::signal_timeout().connect(
      [weak] {
        if (auto self = weak.lock()) self->loadTimedOut();
        return false;
      },
      static_cast<unsigned>(options_.loadTimeout.count()));
  awaitingMainResource_ = true;
}

void CarouselWebView::Coordinator::readyCheck(const platform::URL& url) {
  if (reportedFailure_ || isReady_.get()) return;
  reportedFailure_ = true;
  report(url.absoluteString(), "ready_timeout");
}

void CarouselWebView::Coordinator::loadTimedOut() {
  loadLimit_.disconnect();
  timedOut_ = true;
  failLoad(g_quark_to_string(G_IO_ERROR), G_IO_ERROR_TIMED_OUT);
  if (webView_ != nullptr) webkit_web_view_stop_loading(webView_);
}

void CarouselWebView::Coordinator::failLoad(const std::string& domain, int code) {
  if (reportedFailure_) return;
  reportedFailure_ = true;
  report(loadedURL_ ? loadedURL_->absoluteString() : std::string(), domain + " " + std::to_string(code));
}

void CarouselWebView::Coordinator::report(const std::string& url, const std::string& error) {
  Reporter& reporter = options_.reporter != nullptr ? *options_.reporter : Reporter::shared();
  reporter.report(event::carouselFail{url, error});
}

void CarouselWebView::Coordinator::processTerminated() {
  if (!loadedURL_ || webView_ == nullptr) return;
  if (didRetryAfterProcessDeath_) {
    // "web content process terminated twice"
    failLoad("CarouselView", 1);
    return;
  }
  didRetryAfterProcessDeath_ = true;
  sendRequest();
}

void CarouselWebView::Coordinator::watchMainResource(WebKitWebResource* resource) {
  if (!awaitingMainResource_) return;
  awaitingMainResource_ = false;
  unwatchMainResource();
  mainResource_ = resource;
  g_object_add_weak_pointer(G_OBJECT(resource), reinterpret_cast<gpointer*>(&mainResource_));
  g_signal_connect(resource, "finished", G_CALLBACK(Signals::mainResourceDone), this);
}

void CarouselWebView::Coordinator::unwatchMainResource() {
  if (mainResource_ == nullptr) return;
  g_signal_handlers_disconnect_by_data(mainResource_, this);
  g_object_remove_weak_pointer(G_OBJECT(mainResource_), reinterpret_cast<gpointer*>(&mainResource_));
  mainResource_ = nullptr;
}

void CarouselWebView::Coordinator::stopLoadLimit() {
  loadLimit_.disconnect();
  awaitingMainResource_ = false;
  unwatchMainResource();
}

// ---- CarouselWebView

CarouselWebView::CarouselWebView(platform::URL url, ReadyBinding isReady, CarouselOptions options)
    : Glib::ObjectBase("CarouselWebView"),
      url_(std::move(url)),
      coordinator_(std::make_shared<Coordinator>(std::move(isReady), options)) {
  set_layout_manager(Gtk::BinLayout::create());
  set_hexpand(true);
  set_vexpand(true);
  signal_map().connect(sigc::mem_fun(*this, &CarouselWebView::makeWebView));
  // gtkmm deletes a managed widget only at finalization, after GTK has
  // checked that it holds no children: let go of the engine at dispose.
  signal_destroy().connect(sigc::mem_fun(*this, &CarouselWebView::releaseWebView));
}

CarouselWebView::~CarouselWebView() { releaseWebView(); }

void CarouselWebView::releaseWebView() {
  released_ = true;
  dismantle();
  if (webView_ == nullptr) return;
  gtk_widget_unparent(GTK_WIDGET(webView_));
  g_object_unref(webView_);
  webView_ = nullptr;
}

void CarouselWebView::dismantle() { coordinator_->dismantle(); }

void CarouselWebView::setURL(const platform::URL& url) {
  url_ = url;
  if (webView_ == nullptr) {
    // The engine could not be made at the map: a new URL tries again.
    if (get_mapped() && coordinator_->loadedURL() != url) makeWebView();
    return;
  }
  if (coordinator_->loadedURL() != url) coordinator_->load(url);
}

void CarouselWebView::makeWebView() {
  if (webView_ != nullptr || released_) return;
  // Making the web view may start its web process.
  if (!coordinator_->webProcessCanStart(url_)) return;
  WebKitUserContentManager* contentManager = webkit_user_content_manager_new();
  WebKitNetworkSession* session = webkit_network_session_new_ephemeral();
  WebKitSettings* settings = webkit_settings_new_with_settings(
      "media-playback-requires-user-gesture", TRUE, "user-agent", kUserAgent, nullptr);
  WebKitWebsitePolicies* policies = webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_DENY, nullptr);
  webView_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session, "user-content-manager",
                                          contentManager, "settings", settings, "website-policies", policies,
                                          nullptr));
  g_object_ref_sink(webView_);
  g_object_unref(policies);
  g_object_unref(settings);
  g_object_unref(session);
  g_object_unref(contentManager);

  makePassive(webView_);
  const GdkRGBA clear{0, 0, 0, 0};
  webkit_web_view_set_background_color(webView_, &clear);
  gtk_widget_set_hexpand(GTK_WIDGET(webView_), TRUE);
  gtk_widget_set_vexpand(GTK_WIDGET(webView_), TRUE);
  gtk_widget_set_parent(GTK_WIDGET(webView_), GTK_WIDGET(gobj()));

  coordinator_->attach(webView_, webkit_web_view_get_user_content_manager(webView_));
  coordinator_->load(url_);
}

}  // namespace installer
