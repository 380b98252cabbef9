// One window, measured from inside: started by window_bench with the
// monotonic time of its spawn, it builds either a minimal gtkmm window (one
// button in a 640 x 440 window) or the installer window (the real view
// model and InstallerView, before the install starts), and prints one line:
//
//   first_frame_ns=<spawn to the first frame's after-paint>
//   first_frame_cpu_us=<the process's CPU time at that moment>
//   pss_kb=<Pss of /proc/self/smaps_rollup after 1 s idle>
//   idle_wakeups=<main-loop polls during 2 s idle> idle_frames=<frames drawn then>
//   idle_cpu_us=<process CPU time during those 2 s>
//   webview_type=<1 when the WebKitWebView type was ever registered>
//   children=<child processes (a web process would be one)>
//
//   window_probe minimal|installer <spawn-ns> [picture-directory]
#include <gtk/gtk.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>

#include <gtkmm/button.h>
#include <gtkmm/init.h>
#include <gtkmm/window.h>

#include "config/app_config.h"
#include "platform/dispatch.h"
#include "telemetry/reporter.h"
#include "ui/bundle_pictures.h"
#include "ui/installer_view.h"
#include "ui/installer_view_model.h"

namespace {

long long monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long long cpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long pssKb() {
  std::ifstream in("/proc/self/smaps_rollup");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "Pss:") {
      in >> value;
      return value;
    }
    in.ignore(1 << 12, '\n');
  }
  return -1;
}

int childProcesses() {
  int count = 0;
  const std::string self = std::to_string(getpid());
  if (DIR* proc = opendir("/proc")) {
    while (dirent* e = readdir(proc)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
      std::string line;
      std::getline(stat, line);
      const auto close = line.rfind(')');
      if (close == std::string::npos) continue;
      char state = 0;
      long ppid = 0;
      if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 &&
          std::to_string(ppid) == self) {
        ++count;
      }
    }
    closedir(proc);
  }
  return count;
}

struct Probe {
  long long spawnNs = 0;
  long long firstFrameNs = -1;
  long long firstFrameCpuUs = 0;
  int polls = 0;
  int frames = 0;
  bool idle = false;
  int idlePolls = 0, idleFrames = 0;
  long long idleCpuStart = 0;
  GMainLoop* loop = nullptr;
};

Probe probe;

gint countingPoll(GPollFD* fds, guint n, gint timeout) {
  ++probe.polls;
  return g_poll(fds, n, timeout);
}

void afterPaint(GdkFrameClock*, gpointer) {
  ++probe.frames;
  if (probe.firstFrameNs < 0) {
    probe.firstFrameNs = monotonicNs() - probe.spawnNs;
    probe.firstFrameCpuUs = cpuUs();
    // Settle for a second, then watch two idle seconds.
    g_timeout_add_once(1000, [](gpointer) {
      probe.idle = true;
      probe.idlePolls = probe.polls;
      probe.idleFrames = probe.frames;
      probe.idleCpuStart = cpuUs();
      g_timeout_add_once(2000, [](gpointer) {
        const long long cpu = cpuUs() - probe.idleCpuStart;
        std::printf("first_frame_ns=%lld first_frame_cpu_us=%lld pss_kb=%ld idle_wakeups=%d idle_frames=%d idle_cpu_us=%lld "
                    "webview_type=%d children=%d\n",
                    probe.firstFrameNs, probe.firstFrameCpuUs, pssKb(), probe.polls - probe.idlePolls,
                    probe.frames - probe.idleFrames, cpu,
                    g_type_from_name("WebKitWebView") != 0 ? 1 : 0, childProcesses());
        std::fflush(stdout);
        g_main_loop_quit(probe.loop);
      }, nullptr);
    }, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: window_probe minimal|installer <spawn-ns> [picture-directory]\n");
    return 2;
  }
  const std::string mode = argv[1];
  probe.spawnNs = std::atoll(argv[2]);
  g_main_context_set_poll_func(nullptr, countingPoll);
  gtk_init();
  Gtk::init_gtkmm_internals();
  probe.loop = g_main_loop_new(nullptr, FALSE);

  installer::platform::GlibMainExecutor executor;
  installer::Reporter reporter([](const std::string&, const std::string&) {});
  std::shared_ptr<installer::InstallerViewModel> viewModel;

  auto window = std::make_unique<Gtk::Window>();
  window->set_default_size(640, 440);
  window->set_resizable(false);
  if (mode == "minimal") {
    window->set_child(*Gtk::make_managed<Gtk::Button>("Install"));
  } else {
    if (argc > 3) installer::setPictureDirectoryForTesting(std::filesystem::path(argv[3]));
    installer::AppConfig config;
    config.productID = "com.example.bench";
    config.productName = "Bench";
    config.privacyPolicyURL = installer::platform::URL::parse("https://example.com/privacy");
    config.userAgreementURL = installer::platform::URL::parse("https://example.com/eula");
    config.carouselEnabled = true;
    config.carouselURL = installer::platform::URL::parse("https://example.com/carousel");
    installer::InstallerViewModel::Services services;
    services.mainExecutor = &executor;
    services.reporter = &reporter;
    viewModel = installer::InstallerViewModel::create(config, services);
    installer::InstallerView::Options options;
    options.reporter = &reporter;
    // A real carousel would be built here once the install starts; none
    // must be built before.
    options.makeCarousel = [](const installer::platform::URL&) -> Gtk::Widget* {
      std::fprintf(stderr, "carousel built before the install started\n");
      std::abort();
    };
    window->set_child(*Gtk::make_managed<installer::InstallerView>(viewModel, options));
  }
  window->signal_realize().connect([&] {
    GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(window->gobj()));
    g_signal_connect(clock, "after-paint", G_CALLBACK(afterPaint), nullptr);
  }, true);
  window->present();
  g_main_loop_run(probe.loop);
  window.reset();
  viewModel.reset();
  g_main_loop_unref(probe.loop);
  return 0;
}
