// The carousel's cost when the install starts:
//  - time from creating the CarouselView in a shown window (what the install
//    click does) to the page's "carouselReady" message, with a local page on
//    a loopback HTTP server; the first run of the process (cold: WebKit's
//    network and web processes start) apart from the warm runs;
//  - the same for a bare WebKitWebView with only the message handler (the
//    engine's own cost, the reference);
//  - the proportional set size (PSS) of this process and all its
//    descendants (WebKit's network and web processes, bubblewrap included)
//    with the idle window, and with the carousel shown and ready.
// Needs a display: run it through the window-test runner,
//   tests/support/gui_run build-bench/bench/carousel_bench
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <webkit/webkit.h>

#include <gtkmm.h>
#include <gtkmm/init.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "platform/url.h"
#include "telemetry/reporter.h"
#include "ui/bundle_pictures.h"
#include "ui/carousel_view.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kPage[] =
    "<html><head><style>body{margin:0;background:linear-gradient(#3379f6,#fff)}</style></head>"
    "<body><h1>Welcome</h1><p>Slides of the product.</p><script>"
    "window.addEventListener('load', () => window.webkit.messageHandlers.carouselReady.postMessage('ready'));"
    "</script></body></html>";

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  guint wake = g_timeout_add(5, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && Clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(wake);
  return done();
}

class PageServer {
 public:
  PageServer() {
    server_.set_keep_alive_max_count(1);
    server_.set_keep_alive_timeout(1);
    server_.Get("/carousel", [](const httplib::Request&, httplib::Response& res) { res.set_content(kPage, "text/html"); });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(1ms);
  }
  ~PageServer() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/carousel"; }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

PageServer& server() {
  static PageServer* s = new PageServer();
  return *s;
}

void initOnce() {
  static bool done = [] {
    gtk_init();
    Gtk::init_gtkmm_internals();
    return true;
  }();
  (void)done;
}

// PSS in KiB of this process and every descendant.
long treePssKiB() {
  std::map<int, int> parent;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2) parent[std::stoi(name)] = ppid;
  }
  std::set<int> tree{static_cast<int>(getpid())};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [pid, ppid] : parent)
      if (tree.count(ppid) && tree.insert(pid).second) grew = true;
  }
  long total = 0;
  for (int pid : tree) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long value = 0;
    std::string unit;
    while (rollup >> key) {
      if (key == "Pss:") {
        rollup >> value >> unit;
        total += value;
        break;
      }
      rollup.ignore(1 << 10, '\n');
    }
  }
  return total;
}

struct Window {
  Window() {
    window.set_default_size(640, 360);
    window.present();
    pumpUntil([this] { return window.get_mapped(); }, 5s);
  }
  ~Window() {
    window.unset_child();
    pumpUntil([] { return false; }, 50ms);
  }
  Gtk::Window window;
};

installer::Reporter& silentReporter() {
  static auto* r = new installer::Reporter([](const std::string&, const std::string&) {});
  return *r;
}

// Creating the carousel in a shown window until the page's ready message.
double carouselToReadySeconds() {
  Window w;
  const auto start = Clock::now();
  auto* view = Gtk::make_managed<installer::CarouselView>(*installer::platform::URL::parse(server().url()),
                                                          installer::CarouselOptions{.reporter = &silentReporter()});
  w.window.set_child(*view);
  if (!pumpUntil([view] { return view->ready(); }, 30s)) throw std::runtime_error("carousel never ready");
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The reference: a bare web view with the message handler only.
double bareWebViewToReadySeconds() {
  Window w;
  const auto start = Clock::now();
  bool ready = false;
  WebKitUserContentManager* manager = webkit_user_content_manager_new();
  webkit_user_content_manager_register_script_message_handler(manager, "carouselReady", nullptr);
  g_signal_connect(manager, "script-message-received::carouselReady",
                   G_CALLBACK(+[](WebKitUserContentManager*, JSCValue*, gpointer flag) { *static_cast<bool*>(flag) = true; }),
                   &ready);
  GtkWidget* web = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", webkit_network_session_new_ephemeral(),
                                           "user-content-manager", manager, nullptr));
  w.window.set_child(*Glib::wrap(web));
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(web), server().url().c_str());
  const bool ok = pumpUntil([&] { return ready; }, 30s);
  g_signal_handlers_disconnect_by_data(manager, &ready);
  g_object_unref(manager);
  if (!ok) throw std::runtime_error("bare web view never ready");
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void runTimed(benchmark::State& state, double (*once)()) {
  initOnce();
  installer::setPictureDirectoryForTesting(std::filesystem::path("/nonexistent"));
  const double cold = once();
  for (auto _ : state) state.SetIterationTime(once());
  state.counters["cold_s"] = cold;
}

void BM_CarouselToReady(benchmark::State& state) { runTimed(state, carouselToReadySeconds); }
void BM_BareWebViewToReady(benchmark::State& state) { runTimed(state, bareWebViewToReadySeconds); }

void BM_TreePss(benchmark::State& state) {
  initOnce();
  for (auto _ : state) {
    Window w;
    pumpUntil([] { return false; }, 500ms);
    const long idle = treePssKiB();
    auto* view = Gtk::make_managed<installer::CarouselView>(*installer::platform::URL::parse(server().url()),
                                                            installer::CarouselOptions{.reporter = &silentReporter()});
    w.window.set_child(*view);
    if (!pumpUntil([view] { return view->ready(); }, 30s)) throw std::runtime_error("carousel never ready");
    pumpUntil([] { return false; }, 1s);  // let the page settle
    const long shown = treePssKiB();
    state.counters["idle_window_MiB"] = idle / 1024.0;
    state.counters["carousel_shown_MiB"] = shown / 1024.0;
    state.counters["carousel_added_MiB"] = (shown - idle) / 1024.0;
  }
}

}  // namespace

// The PSS figure runs first, in a process where no web view has existed.
BENCHMARK(BM_TreePss)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CarouselToReady)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareWebViewToReady)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
