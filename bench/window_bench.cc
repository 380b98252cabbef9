// The installer window against a minimal gtkmm window, side by side in the
// same run: each round spawns bench/window_probe once for each (alternating)
// and reads back the time from spawn to the first drawn frame, the PSS
// after a second of idling, what happened during two more idle seconds
// (main-loop wake-ups, frames drawn, CPU time) and whether a web engine
// exists. Targets: first frame and PSS within 1.3x of the minimal window,
// PSS under 60 MB, no frames and no CPU while idle, no web engine before
// the install starts. The median of WINDOW_BENCH_ROUNDS (default 7) rounds
// is reported.
//
// Needs a display: tests/support/gui_run build-bench/bench/window_bench
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <webp/encode.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/package_fixtures.h"

extern char** environ;

namespace {

struct Sample {
  double firstFrameMs = 0;
  double pssMb = 0;
  long idleWakeups = 0, idleFrames = 0, idleCpuUs = 0;
  int webview = 0, children = 0;
};

long long monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long field(const std::string& line, const std::string& key) {
  const auto at = line.find(key + "=");
  return at == std::string::npos ? -1 : std::atol(line.c_str() + at + key.size() + 1);
}

Sample runProbe(const std::string& mode, const std::string& pictures) {
  int out[2];
  if (pipe(out) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string spawnNs = std::to_string(monotonicNs());
  std::vector<std::string> args{WINDOW_PROBE_PATH, mode, spawnNs, pictures};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || field(text, "first_frame_ns") < 0) {
    std::fprintf(stderr, "window_probe %s failed: %s\n", mode.c_str(), text.c_str());
    std::exit(1);
  }
  Sample s;
  s.firstFrameMs = static_cast<double>(field(text, "first_frame_ns")) / 1e6;
  s.pssMb = static_cast<double>(field(text, "pss_kb")) / 1024;
  s.idleWakeups = field(text, "idle_wakeups");
  s.idleFrames = field(text, "idle_frames");
  s.idleCpuUs = field(text, "idle_cpu_us");
  s.webview = static_cast<int>(field(text, "webview_type"));
  s.children = static_cast<int>(field(text, "children"));
  return s;
}

template <typename F>
double median(const std::vector<Sample>& samples, F get) {
  std::vector<double> v;
  for (const auto& s : samples) v.push_back(static_cast<double>(get(s)));
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The installer's "Background" picture at window size, as a bundle ships it.
void writeBackground(const std::filesystem::path& directory) {
  const int w = 640, h = 296;
  std::vector<std::uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &rgba[(static_cast<size_t>(y) * w + x) * 4];
      p[0] = static_cast<std::uint8_t>(x * 255 / w);
      p[1] = static_cast<std::uint8_t>(y * 255 / h);
      p[2] = 180;
      p[3] = 255;
    }
  }
  std::uint8_t* out = nullptr;
  const size_t size = WebPEncodeRGBA(rgba.data(), w, h, w * 4, 80, &out);
  std::ofstream(directory / "Background.webp", std::ios::binary)
      .write(reinterpret_cast<const char*>(out), static_cast<std::streamsize>(size));
  WebPFree(out);
}

void BM_Windows(benchmark::State& state) {
  const char* roundsText = std::getenv("WINDOW_BENCH_ROUNDS");
  const int rounds = roundsText && *roundsText ? std::max(1, std::atoi(roundsText)) : 7;
  installer::testing::TempDir pictures("window-bench");
  writeBackground(pictures.path());
  std::map<std::string, std::vector<Sample>> samples;
  for (auto _ : state) {
    for (int i = 0; i < rounds; ++i) {
      for (const char* mode : {"minimal", "installer"}) {
        samples[mode].push_back(runProbe(mode, pictures.path().string()));
      }
    }
    state.SetIterationTime(median(samples["installer"], [](const Sample& s) { return s.firstFrameMs; }) / 1000);
  }
  const auto& mini = samples["minimal"];
  const auto& inst = samples["installer"];
  auto ff = [](const Sample& s) { return s.firstFrameMs; };
  auto pss = [](const Sample& s) { return s.pssMb; };
  const double ffRatio = median(inst, ff) / median(mini, ff);
  const double pssRatio = median(inst, pss) / median(mini, pss);
  state.counters["first_frame_ratio"] = ffRatio;
  state.counters["pss_ratio"] = pssRatio;
  state.counters["installer_pss_MB"] = median(inst, pss);
  std::printf("\nmedian of %d rounds          minimal    installer\n", rounds);
  std::printf("first frame after spawn   %8.1f ms  %8.1f ms   ratio %.2f (target <= 1.30)\n",
              median(mini, ff), median(inst, ff), ffRatio);
  std::printf("idle PSS                  %8.1f MB  %8.1f MB   ratio %.2f (target <= 1.30, installer < 60 MB)\n",
              median(mini, pss), median(inst, pss), pssRatio);
  std::printf("idle 2 s: wake-ups        %8.0f     %8.0f\n",
              median(mini, [](const Sample& s) { return s.idleWakeups; }),
              median(inst, [](const Sample& s) { return s.idleWakeups; }));
  std::printf("idle 2 s: frames drawn    %8.0f     %8.0f      (target 0)\n",
              median(mini, [](const Sample& s) { return s.idleFrames; }),
              median(inst, [](const Sample& s) { return s.idleFrames; }));
  std::printf("idle 2 s: CPU time        %8.2f ms  %8.2f ms\n",
              median(mini, [](const Sample& s) { return s.idleCpuUs; }) / 1000,
              median(inst, [](const Sample& s) { return s.idleCpuUs; }) / 1000);
  int webviews = 0, children = 0;
  for (const auto& s : inst) {
    webviews += s.webview;
    children += s.children;
  }
  std::printf("web engine before start   WebKitWebView type registered in %d of %d runs, "
              "%d child processes (target 0, 0)\n", webviews, rounds, children);
}

BENCHMARK(BM_Windows)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
