// The carousel in a real WebKitGTK view under Xvfb, with pages from a
// plain-HTTP loopback server in this test (the engine's TLS trust is not
// what is under test; the product refuses non-https carousel links earlier).
#include <webkit/webkit.h>
#include <webp/encode.h>

#include <gtest/gtest.h>
#include <gtkmm.h>
#include <gtkmm/init.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "telemetry/reporter.h"
#include "ui/bundle_pictures.h"
#include "ui/carousel_view.h"

namespace installer {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long the engine may take for what it always does in the end (start a
// web process, load, draw) on a machine busy with other work.
constexpr std::chrono::milliseconds kPatience = 45s;

// Runs the GLib main loop until `done()` or `timeout`; returns `done()`.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  guint wake = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && Clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(wake);
  return done();
}

void pumpFor(std::chrono::milliseconds span) {
  pumpUntil([] { return false; }, span);
}

struct SeenRequest {
  std::string path, userAgent, ngrokHeader, cookie;
};

// A plain-HTTP server on 127.0.0.1 that records every request.
class PageServer {
 public:
  PageServer() {
    // One request per connection: stopping never waits for idle keep-alives.
    server_.set_keep_alive_max_count(1);
    server_.set_keep_alive_timeout(1);  // and a preconnected socket is dropped soon
    server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
      std::lock_guard lock(mu_);
      seen_.push_back({req.path, req.get_header_value("User-Agent"),
                       req.get_header_value("ngrok-skip-browser-warning"), req.get_header_value("Cookie")});
      return httplib::Server::HandlerResponse::Unhandled;
    });
  }
  ~PageServer() {
    {
      std::lock_guard lock(mu_);
      stopping_ = true;
    }
    cv_.notify_all();
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  void page(const std::string& path, std::string html,
            std::map<std::string, std::string> headers = {}) {
    server_.Get(path, [html = std::move(html), headers](const httplib::Request&, httplib::Response& res) {
      for (const auto& [name, value] : headers) res.set_header(name, value);
      res.set_content(html, "text/html");
    });
  }
  // Accepts the request and never answers.
  void hang(const std::string& path) {
    server_.Get(path, [this](const httplib::Request&, httplib::Response& res) {
      waitUntilStopping();
      res.status = 503;
    });
  }
  // Sends the head and the start of the page, then nothing more.
  void endless(const std::string& path) {
    server_.Get(path, [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/html", [this](std::size_t, httplib::DataSink& sink) {
        const std::string start = "<html><body><p>start</p>" + std::string(4096, ' ');
        sink.write(start.data(), start.size());
        waitUntilStopping();
        return false;
      });
    });
  }

  void start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    const auto deadline = Clock::now() + 5s;
    while (!server_.is_running() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<SeenRequest> requestsFor(const std::string& path) const {
    std::lock_guard lock(mu_);
    std::vector<SeenRequest> out;
    for (const auto& r : seen_)
      if (r.path == path) out.push_back(r);
    return out;
  }

 private:
  void waitUntilStopping() {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, 60s, [this] { return stopping_; });
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::vector<SeenRequest> seen_;
};

// A TCP port on 127.0.0.1 that nothing listens on.
std::string refusedURL() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);  // bound, never listening, closed: connections are refused
  return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
}

constexpr char kReadySoon[] =
    "<html><body style='background:#123456'>ready soon<script>"
    "setTimeout(() => window.webkit.messageHandlers.carouselReady.postMessage('ok'), 300);"
    "</script></body></html>";
constexpr char kSilent[] = "<html><body>never ready</body></html>";

platform::URL parse(const std::string& text) { return *platform::URL::parse(text); }

// The widget drawn in-process; the colour at its centre as 8-bit RGB.
std::array<int, 3> centreColour(Gtk::Widget& widget) {
  const int width = widget.get_width(), height = widget.get_height();
  GdkPaintable* paintable = gtk_widget_paintable_new(widget.gobj());
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable, snapshot, width, height);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  const graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
  GdkTexture* texture = gsk_renderer_render_texture(gtk_native_get_renderer(widget.get_native()->gobj()), node, &bounds);
  std::vector<guchar> pixels(static_cast<std::size_t>(width) * height * 4);
  gdk_texture_download(texture, pixels.data(), static_cast<gsize>(width) * 4);  // B, G, R, A premultiplied
  g_object_unref(texture);
  gsk_render_node_unref(node);
  g_object_unref(paintable);
  const guchar* p = &pixels[(static_cast<std::size_t>(height / 2) * width + width / 2) * 4];
  return {p[2], p[1], p[0]};
}

class CarouselTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gtk_init();
    Gtk::init_gtkmm_internals();
    setPictureDirectoryForTesting(std::filesystem::path("/nonexistent-carousel-pictures"));
  }

  void SetUp() override { server_.page("/ready", kReadySoon); server_.page("/silent", kSilent); }
  void TearDown() override { close(); }

  CarouselView& show(const std::string& url, CarouselOptions options = {}) {
    options.reporter = &reporter_;
    // Far beyond what the engine needs even on a busy machine: a test that
    // wants a deadline to pass sets its own.
    if (options.loadTimeout == CarouselOptions{}.loadTimeout) options.loadTimeout = kPatience;
    if (options.readyTimeout == CarouselOptions{}.readyTimeout) options.readyTimeout = kPatience;
    close();
    window_ = std::make_unique<Gtk::Window>();
    window_->set_default_size(640, 360);
    view_ = Gtk::make_managed<CarouselView>(parse(url), options);
    window_->set_child(*view_);
    window_->present();
    EXPECT_TRUE(pumpUntil([this] { return view_->webView().webView() != nullptr; }, kPatience));
    return *view_;
  }
  void close() {
    if (window_ != nullptr) window_->unset_child();
    view_ = nullptr;
    window_.reset();
  }
  WebKitWebView* web() { return view_->webView().webView(); }
  bool loadedOnce(const std::string& path) {
    return !server_.requestsFor(path).empty() && !webkit_web_view_is_loading(web());
  }
  std::vector<std::string> failures() {
    std::lock_guard lock(mu_);
    return failures_;
  }
  static std::string failure(const std::string& url, const std::string& error) {
    return attributesText(event::carouselFail{url, error});
  }

  PageServer server_;
  std::mutex mu_;
  std::vector<std::string> failures_;
  Reporter reporter_{[this](const std::string& name, const std::string& attributes) {
    std::lock_guard lock(mu_);
    if (name == "Carousel_Fail") failures_.push_back(attributes);
  }};
  std::unique_ptr<Gtk::Window> window_;
  CarouselView* view_ = nullptr;
};

TEST_F(CarouselTest, ReadyMessageFadesThePlaceholderOutAndNothingIsReported) {
  server_.start();
  // The deadline passes when the test says so: after the page was ready,
  // however long a busy machine took to get there.
  std::list<sigc::slot<void()>> readyChecks;
  CarouselView& view = show(server_.url("/ready"),
                            {.scheduleReadyCheck = [&](std::chrono::milliseconds, sigc::slot<void()> check) {
                               readyChecks.push_back(std::move(check));
                               return sigc::connection(readyChecks.back());
                             }});
  EXPECT_EQ(view.placeholder().get_opacity(), 1.0);
  ASSERT_TRUE(pumpUntil([&] { return view.ready(); }, kPatience));
  ASSERT_TRUE(pumpUntil([&] { return view.placeholder().get_opacity() == 0.0; }, kPatience));
  // The page itself now shows where the placeholder was.
  EXPECT_TRUE(pumpUntil([&] { return centreColour(view) == std::array<int, 3>{0x12, 0x34, 0x56}; }, kPatience))
      << centreColour(view)[0] << "," << centreColour(view)[1] << "," << centreColour(view)[2];
  ASSERT_EQ(readyChecks.size(), 1u);
  readyChecks.front()();
  EXPECT_TRUE(failures().empty());
}

TEST_F(CarouselTest, PageRequestCarriesTheUserAgentAndTheHeader) {
  server_.start();
  show(server_.url("/ready"));
  ASSERT_TRUE(pumpUntil([&] { return !server_.requestsFor("/ready").empty(); }, kPatience));
  const SeenRequest request = server_.requestsFor("/ready").front();
  EXPECT_EQ(request.userAgent, "Zelvox-AI-Installer");
  EXPECT_EQ(request.ngrokHeader, "1");
}

TEST_F(CarouselTest, PageThatNeverPostsIsReportedOnceAtTheReadyDeadline) {
  server_.start();
  CarouselView& view = show(server_.url("/silent"), {.readyTimeout = 600ms});
  ASSERT_TRUE(pumpUntil([&] { return !failures().empty(); }, kPatience));
  pumpFor(1200ms);
  EXPECT_EQ(failures(), std::vector<std::string>{failure(server_.url("/silent"), "ready_timeout")});
  EXPECT_EQ(view.placeholder().get_opacity(), 1.0);
}

TEST_F(CarouselTest, FailedLoadIsReportedOnceAndTheLaterReadyCheckStaysSilent) {
  server_.hang("/hang");
  server_.start();
  const struct {
    std::string url, error;
    std::chrono::milliseconds loadTimeout;
  } cases[] = {
      {refusedURL(), "g-io-error-quark 39", 60s},           // connection refused
      {server_.url("/hang"), "g-io-error-quark 24", 1s},    // the load limit: timed out
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    { std::lock_guard lock(mu_); failures_.clear(); }
    // The ready deadline passes when the test says so: after the failure,
    // however long a loaded machine takes to deliver it.
    std::list<sigc::slot<void()>> readyChecks;
    show(c.url, {.loadTimeout = c.loadTimeout,
                 .scheduleReadyCheck = [&](std::chrono::milliseconds, sigc::slot<void()> check) {
                   readyChecks.push_back(std::move(check));
                   return sigc::connection(readyChecks.back());
                 }});
    ASSERT_TRUE(pumpUntil([&] { return !failures().empty(); }, 60s));
    ASSERT_EQ(readyChecks.size(), 1u);
    ASSERT_FALSE(readyChecks.front().empty());
    readyChecks.front()();
    pumpFor(100ms);
    EXPECT_EQ(failures(), std::vector<std::string>{failure(c.url, c.error)});
  }
}

TEST_F(CarouselTest, LinksAndFormsAreCancelledAndThePageStays) {
  server_.page("/elsewhere", "<html><body>elsewhere</body></html>");
  const struct {
    std::string path, html;
  } cases[] = {
      {"/link",
       "<html><body><a id='a' href='/elsewhere'>go</a><script>"
       "document.getElementById('a').click();"
       "setTimeout(() => window.webkit.messageHandlers.carouselReady.postMessage(1), 500);"
       "</script></body></html>"},
      {"/form",
       "<html><body><form id='f' action='/elsewhere' method='get'><input name='q' value='1'></form><script>"
       "document.getElementById('f').submit();"
       "setTimeout(() => window.webkit.messageHandlers.carouselReady.postMessage(1), 500);"
       "</script></body></html>"},
  };
  for (const auto& c : cases) server_.page(c.path, c.html);
  server_.start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    CarouselView& view = show(server_.url(c.path));
    ASSERT_TRUE(pumpUntil([&] { return view.ready(); }, kPatience));
    EXPECT_TRUE(server_.requestsFor("/elsewhere").empty());
    EXPECT_EQ(std::string(webkit_web_view_get_uri(web())), server_.url(c.path));
  }
  EXPECT_TRUE(failures().empty());
}

TEST_F(CarouselTest, WebProcessDeathReloadsOnceThenIsReported) {
  server_.start();
  show(server_.url("/silent"), {.readyTimeout = 60s});
  ASSERT_TRUE(pumpUntil([&] { return loadedOnce("/silent"); }, kPatience));
  webkit_web_view_terminate_web_process(web());
  ASSERT_TRUE(pumpUntil([&] { return server_.requestsFor("/silent").size() == 2; }, kPatience));
  const SeenRequest reload = server_.requestsFor("/silent").back();
  EXPECT_EQ(reload.ngrokHeader, "1");
  ASSERT_TRUE(pumpUntil([&] { return !webkit_web_view_is_loading(web()); }, kPatience));
  EXPECT_TRUE(failures().empty());
  EXPECT_TRUE(view_->webView().coordinator().didRetryAfterProcessDeath());

  webkit_web_view_terminate_web_process(web());
  ASSERT_TRUE(pumpUntil([&] { return !failures().empty(); }, kPatience));
  EXPECT_EQ(failures(), std::vector<std::string>{failure(server_.url("/silent"), "CarouselView 1")});
  EXPECT_EQ(server_.requestsFor("/silent").size(), 2u);
}

// WebKitGTK's sandbox would mount this bus's directory for its D-Bus proxy,
// fail, and end the whole program.
class BrokenSessionBus {
 public:
  BrokenSessionBus() {
    if (const char* old = g_getenv("DBUS_SESSION_BUS_ADDRESS")) saved_ = old;
    g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent-carousel-bus/bus", TRUE);
  }
  ~BrokenSessionBus() {
    if (saved_) {
      g_setenv("DBUS_SESSION_BUS_ADDRESS", saved_->c_str(), TRUE);
    } else {
      g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(CarouselTest, AWebProcessThatCannotStartCostsOnlyTheCarousel) {
  BrokenSessionBus bus;
  server_.start();
  CarouselOptions options;
  options.reporter = &reporter_;
  window_ = std::make_unique<Gtk::Window>();
  view_ = Gtk::make_managed<CarouselView>(parse(server_.url("/ready")), options);
  window_->set_child(*view_);
  window_->present();
  ASSERT_TRUE(pumpUntil([&] { return !failures().empty(); }, kPatience));
  EXPECT_EQ(failures(), std::vector<std::string>{failure(server_.url("/ready"), "CarouselView 2")});
  EXPECT_EQ(view_->webView().webView(), nullptr);
  EXPECT_EQ(view_->placeholder().get_opacity(), 1.0);
  EXPECT_TRUE(server_.requestsFor("/ready").empty());
}

TEST_F(CarouselTest, AWebProcessThatCannotRestartIsReportedInsteadOfReloading) {
  server_.start();
  show(server_.url("/silent"));
  ASSERT_TRUE(pumpUntil([&] { return loadedOnce("/silent"); }, kPatience));
  BrokenSessionBus bus;
  webkit_web_view_terminate_web_process(web());
  ASSERT_TRUE(pumpUntil([&] { return !failures().empty(); }, kPatience));
  EXPECT_EQ(failures(), std::vector<std::string>{failure(server_.url("/silent"), "CarouselView 2")});
  EXPECT_EQ(server_.requestsFor("/silent").size(), 1u);
}

TEST_F(CarouselTest, SameURLNeverReloadsAndANewURLLoadsWithFreshFlags) {
  server_.start();
  CarouselView& view = show(server_.url("/ready"));
  ASSERT_TRUE(pumpUntil([&] { return view.ready(); }, kPatience));
  view.setURL(parse(server_.url("/ready")));
  view.setURL(parse(server_.url("/silent")));
  ASSERT_TRUE(pumpUntil([&] { return loadedOnce("/silent"); }, kPatience));
  EXPECT_EQ(server_.requestsFor("/ready").size(), 1u);
  EXPECT_FALSE(view.ready());
  EXPECT_EQ(view.webView().coordinator().loadedURL(), parse(server_.url("/silent")));
}

TEST_F(CarouselTest, EachViewHasItsOwnEphemeralSession) {
  server_.page("/cookie",
               "<html><body><script>"
               "fetch('/echo').then(() => window.webkit.messageHandlers.carouselReady.postMessage(1));"
               "</script></body></html>",
               {{"Set-Cookie", "carousel=seen; Path=/"}});
  server_.page("/echo", "");
  server_.start();
  for (int i = 0; i < 2; ++i) {
    CarouselView& view = show(server_.url("/cookie"));
    ASSERT_TRUE(pumpUntil([&] { return view.ready(); }, kPatience));
  }
  const auto cookies = server_.requestsFor("/cookie");
  const auto echoes = server_.requestsFor("/echo");
  ASSERT_EQ(cookies.size(), 2u);
  ASSERT_EQ(echoes.size(), 2u);
  EXPECT_EQ(echoes[0].cookie, "carousel=seen");  // the session keeps it while it lives
  EXPECT_EQ(cookies[1].cookie, "");
  EXPECT_EQ(echoes[1].cookie, "carousel=seen");
}

TEST_F(CarouselTest, PlaceholderIsTheLoadingPictureOrFlatLightGrey) {
  server_.start();
  std::string dirTemplate = (std::filesystem::temp_directory_path() / "carousel-pictures.XXXXXX").string();
  const std::filesystem::path pictures = mkdtemp(dirTemplate.data());
  const std::array<std::uint8_t, 16> orange = {230, 120, 20, 255, 230, 120, 20, 255,
                                               230, 120, 20, 255, 230, 120, 20, 255};
  std::uint8_t* webp = nullptr;
  const std::size_t size = WebPEncodeLosslessRGBA(orange.data(), 2, 2, 8, &webp);
  ASSERT_GT(size, 0u);
  std::ofstream(pictures / "Loading.webp", std::ios::binary).write(reinterpret_cast<const char*>(webp), size);
  WebPFree(webp);

  const struct {
    std::filesystem::path pictures;
    std::array<int, 3> colour;
  } cases[] = {{"/nonexistent-carousel-pictures", {242, 242, 242}}, {pictures, {230, 120, 20}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pictures);
    setPictureDirectoryForTesting(c.pictures);
    CarouselView& view = show(server_.url("/silent"));
    ASSERT_TRUE(pumpUntil([&] { return view.placeholder().get_width() > 0; }, kPatience));
    const auto colour = centreColour(view.placeholder());
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(colour[i], c.colour[i], 1) << "channel " << i;  // 0.95 is 242.25
  }
  setPictureDirectoryForTesting(std::filesystem::path("/nonexistent-carousel-pictures"));
  std::filesystem::remove_all(pictures);
}

// Hostile pages: the main loop keeps running, at most one report per load,
// and the view stays on the server's pages.
TEST_F(CarouselTest, HostilePagesReportAtMostOnceAndNeverTakeTheViewAway) {
  std::string huge = "<html><body>";
  for (int i = 0; i < 40000; ++i) huge += "<p>carousel carousel carousel carousel carousel carousel carousel</p>";
  huge += "</body></html>";
  server_.page("/spam",
               "<html><body><script>"
               "for (let i = 0; i < 500; ++i) window.webkit.messageHandlers.carouselReady.postMessage(i);"
               "</script></body></html>");
  server_.page("/loop",
               "<html><body><script>setTimeout(() => { location.href = '/loop'; }, 30);</script></body></html>");
  server_.endless("/endless");
  server_.page("/huge", huge);
  server_.page("/dialogs",
               "<html><body><script>"
               "alert('a'); confirm('b'); prompt('c'); print();"
               "window.webkit.messageHandlers.carouselReady.postMessage(1);"
               "</script></body></html>");
  server_.page("/attachment", "not a page", {{"Content-Disposition", "attachment; filename=\"x.bin\""}});
  server_.start();
  // Pages that post "carouselReady" must get there with nothing reported;
  // the others are reported at most once (time-out or ready check).
  const struct {
    std::string path;
    bool postsReady;
  } cases[] = {{"/spam", true},     {"/dialogs", true}, {"/loop", false},
               {"/endless", false}, {"/huge", false},   {"/attachment", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    { std::lock_guard lock(mu_); failures_.clear(); }
    CarouselView& view = show(server_.url(c.path), c.postsReady ? CarouselOptions{}
                                                                : CarouselOptions{.loadTimeout = 1s, .readyTimeout = 1500ms});
    // A 50 ms tick measures how long the main loop ever stalls.
    Clock::time_point last = Clock::now();
    Clock::duration worst{};
    auto tick = Glib::signal_timeout().connect([&] {
      const auto now = Clock::now();
      worst = std::max(worst, now - last);
      last = now;
      return true;
    }, 50);
    if (c.postsReady) {
      EXPECT_TRUE(pumpUntil([&] { return view.ready(); }, kPatience));
      pumpFor(500ms);
    } else {
      pumpFor(2500ms);
    }
    tick.disconnect();
    EXPECT_LT(worst, 1s);
    EXPECT_LE(failures().size(), c.postsReady ? 0u : 1u) << (failures().empty() ? "" : failures().front());
    const char* uri = webkit_web_view_get_uri(web());  // none: stopped before the page arrived
    if (uri != nullptr && *uri != 0) {
      EXPECT_EQ(std::string(uri).rfind(server_.url("/"), 0), 0u) << uri;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(Glib::get_user_special_dir(Glib::UserDirectory::DOWNLOAD) + "/x.bin"));
  EXPECT_FALSE(std::filesystem::exists(Glib::get_home_dir() + "/Downloads/x.bin"));
}

}  // namespace
}  // namespace installer
