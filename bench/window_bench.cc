// The installer window against a minimal gtkmm window, side by side in the
// same run: each round spawns bench/window_probe once for each (alternating)
// and reads back the time from spawn to the first drawn frame, the PSS
// after a second of idling, what happened during two more idle seconds
// (main-loop wake-ups, frames drawn, CPU time) and whether a web engine
// exists. Targets: first frame and PSS within 1.3x of the minimal window,
// PSS under 60 MB, no frames and no CPU while idle, no web engine before
// the install starts. The median of WINDOW_BENCH_ROUNDS (default 7) rounds
// is reported, once with GL as the environment has it and once with
// GDK_DEBUG=gl-disable (the windows' own cost without Mesa's software GL).
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
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/package_fixtures.h"

extern char** environ;

namespace {

struct Sample {
  double firstFrameMs = 0;
  double firstFrameCpuMs = 0;
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

Sample runProbe(const std::string& mode, const std::string& pictures, bool withoutGL) {
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
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "GDK_DEBUG=", 10) != 0) env.emplace_back(*e);
  }
  if (withoutGL) env.emplace_back("GDK_DEBUG=gl-disable");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) std::abort();
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
  s.firstFrameCpuMs = static_cast<double>(field(text, "first_frame_cpu_us")) / 1e3;
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

void report(const char* title, int rounds, std::map<std::string, std::vector<Sample>>& samples,
            benchmark::State& state, const std::string& prefix) {
  const auto& mini = samples["minimal"];
  const auto& inst = samples["installer"];
  auto ff = [](const Sample& s) { return s.firstFrameMs; };
  auto ffCpu = [](const Sample& s) { return s.firstFrameCpuMs; };
  auto pss = [](const Sample& s) { return s.pssMb; };
  const double ffRatio = median(inst, ff) / median(mini, ff);
  const double pssRatio = median(inst, pss) / median(mini, pss);
  state.counters[prefix + "first_frame_ratio"] = ffRatio;
  state.counters[prefix + "pss_ratio"] = pssRatio;
  state.counters[prefix + "installer_pss_MB"] = median(inst, pss);
  std::printf("\n%s, median of %d rounds   minimal    installer\n", title, rounds);
  std::printf("first frame after spawn   %8.1f ms  %8.1f ms   ratio %.2f (target <= 1.30)\n",
              median(mini, ff), median(inst, ff), ffRatio);
  std::printf("  CPU time until then     %8.1f ms  %8.1f ms   ratio %.2f\n", median(mini, ffCpu),
              median(inst, ffCpu), median(inst, ffCpu) / median(mini, ffCpu));
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

void BM_Windows(benchmark::State& state) {
  const char* roundsText = std::getenv("WINDOW_BENCH_ROUNDS");
  const int rounds = roundsText && *roundsText ? std::max(1, std::atoi(roundsText)) : 7;
  installer::testing::TempDir pictures("window-bench");
  writeBackground(pictures.path());
  // As the environment renders (under Xvfb: Mesa's software GL, which maps
  // LLVM into every GTK process), and with GDK's GL turned off, which
  // leaves the windows' own cost.
  std::map<std::string, std::vector<Sample>> samples[2];
  for (auto _ : state) {
    for (int i = 0; i < rounds; ++i) {
      for (int gl = 0; gl < 2; ++gl) {
        for (const char* mode : {"minimal", "installer"}) {
          samples[gl][mode].push_back(runProbe(mode, pictures.path().string(), gl == 1));
        }
      }
    }
    state.SetIterationTime(median(samples[0]["installer"], [](const Sample& s) { return s.firstFrameMs; }) / 1000);
  }
  report("GL as the environment has it", rounds, samples[0], state, "");
  report("GDK_DEBUG=gl-disable", rounds, samples[1], state, "nogl_");
}

BENCHMARK(BM_Windows)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
