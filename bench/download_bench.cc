// Download throughput and MD5 speed against the standard tools, with the
// resident memory each keeps. One run prints every figure next to its
// comparison:
//   - Downloader (libcurl, progress reporting on) vs the curl command line
//     fetching the same 1 GiB file from the same loopback HTTPS server;
//   - md5Hex vs md5sum on the same 1 GiB file;
//   - resident memory above the start of each, sampled every 20 ms.
// Temporary files live under /tmp and are removed at the end.
#include <benchmark/benchmark.h>

#include "bench_files.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "network/downloader.h"
#include "package/integrity.h"
#include "support/loopback_file_server.h"

namespace {

using namespace installer;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kFileSize = std::int64_t{1} << 30;

std::int64_t residentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  }
  return 0;
}

// Samples the resident size on a thread while alive; peak() above start.
class RssWatch {
 public:
  RssWatch() : start_(residentBytes()), peak_(start_) {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        std::int64_t now = residentBytes();
        if (now > peak_.load()) peak_.store(now);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  ~RssWatch() { stopNow(); }
  std::int64_t growth() {
    stopNow();
    return peak_.load() - start_;
  }

 private:
  void stopNow() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  std::int64_t start_;
  std::atomic<std::int64_t> peak_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Fixture {
  std::string dir;
  std::string source;
  testing::LoopbackFileServer server;

  Fixture() {
    char pattern[] = "/tmp/download-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    source = dir + "/source.dmg";
    bench::writeIncompressibleFile(source, kFileSize);
    server.setFile("/big.dmg", testing::ServedFile{.content = "", .diskPath = source, .etag = "\"big\"",
                                                   .lastModified = "", .sendLength = true,
                                                   .honourRange = true, .dropAfter = std::nullopt,
                                                   .stall = false, .bytesPerSecond = 0,
                                                   .rangeStartOverride = std::nullopt});
    server.start();
  }
  ~Fixture() {
    server.stop();
    std::filesystem::remove_all(dir);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

double cpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Wall time of a shell command; `cpu` receives the CPU time it used.
double run(const std::string& command, double* cpu = nullptr) {
  double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
  auto begin = Clock::now();
  int status = std::system(command.c_str());
  double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  if (cpu) *cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
  if (status != 0) std::fprintf(stderr, "command failed (%d): %s\n", status, command.c_str());
  return seconds;
}

// The machine is shared: each side keeps its best run.
struct Best {
  double ours = 1e9, theirs = 1e9, oursCpu = 1e9, theirsCpu = 1e9;
  std::int64_t rss = 0;
};

double downloadOnce(std::int64_t* progressReports) {
  auto& f = fixture();
  std::string dest = f.dir + "/ours.dmg";
  Downloader::Options options;
  options.caBundlePath = f.server.caBundlePath();
  Downloader downloader(options);
  platform::Semaphore done;
  std::optional<DownloadResult> result;
  std::atomic<std::int64_t> reports{0};
  auto begin = Clock::now();
  downloader.start(*platform::URL::parse(f.server.url("/big.dmg")), dest, std::nullopt,
                   [&](const TransferProgress&) { ++reports; },
                   [&](const DownloadResult& r) {
                     result = r;
                     done.signal();
                   });
  done.wait();
  double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  if (!std::holds_alternative<DownloadedFile>(*result) ||
      std::get<DownloadedFile>(*result).size != kFileSize) {
    std::fprintf(stderr, "download failed: %s\n",
                 std::holds_alternative<DownloadError>(*result)
                     ? description(std::get<DownloadError>(*result)).c_str()
                     : "short file");
  }
  *progressReports = reports.load();
  std::filesystem::remove(dest);
  return seconds;
}

void BM_DownloadVersusCurl(benchmark::State& state) {
  auto& f = fixture();
  const double mib = static_cast<double>(kFileSize) / (1 << 20);
  Best best;
  for (auto _ : state) {
    // Warm the page cache of the source for both.
    run("cat " + f.source + " > /dev/null");
    double curlSeconds = run("curl -sS --fail --cacert " + f.server.caBundlePath() + " -o " + f.dir +
                             "/curl.dmg " + f.server.url("/big.dmg"));
    std::filesystem::remove(f.dir + "/curl.dmg");
    std::int64_t reports = 0;
    std::int64_t rss = 0;
    double ours;
    {
      RssWatch watch;
      ours = downloadOnce(&reports);
      rss = watch.growth();
    }
    state.SetIterationTime(ours);
    best.ours = std::min(best.ours, ours);
    best.theirs = std::min(best.theirs, curlSeconds);
    best.rss = std::max(best.rss, rss);
    std::printf("  run: Downloader %.0f MiB/s (%lld progress reports), curl %.0f MiB/s\n", mib / ours,
                static_cast<long long>(reports), mib / curlSeconds);
  }
  double ratio = best.theirs / best.ours;
  state.counters["ours_MiB/s"] = mib / best.ours;
  state.counters["curl_MiB/s"] = mib / best.theirs;
  state.counters["ratio"] = ratio;
  state.counters["rss_growth_MiB"] = static_cast<double>(best.rss) / (1 << 20);
  std::printf("download 1 GiB (best of %lld): Downloader %.0f MiB/s, curl %.0f MiB/s, ratio %.2f "
              "(target >= 0.90); RSS +%.1f MiB at most (target < 32)\n",
              static_cast<long long>(state.iterations()), mib / best.ours, mib / best.theirs, ratio,
              static_cast<double>(best.rss) / (1 << 20));
}

void BM_Md5VersusMd5sum(benchmark::State& state) {
  auto& f = fixture();
  const double mib = static_cast<double>(kFileSize) / (1 << 20);
  Best best;
  for (auto _ : state) {
    run("cat " + f.source + " > /dev/null");
    std::int64_t rss = 0;
    double cpuBefore = cpuSeconds(RUSAGE_THREAD);
    auto begin = Clock::now();
    std::string digest;
    {
      RssWatch watch;
      digest = md5Hex(f.source);
      rss = watch.growth();
    }
    double ours = std::chrono::duration<double>(Clock::now() - begin).count();
    double oursCpu = cpuSeconds(RUSAGE_THREAD) - cpuBefore;
    double toolCpu = 0;
    double tool = run("md5sum " + f.source + " > /dev/null", &toolCpu);
    benchmark::DoNotOptimize(digest);
    state.SetIterationTime(ours);
    best.ours = std::min(best.ours, ours);
    best.theirs = std::min(best.theirs, tool);
    best.oursCpu = std::min(best.oursCpu, oursCpu);
    best.theirsCpu = std::min(best.theirsCpu, toolCpu);
    best.rss = std::max(best.rss, rss);
    std::printf("  run: md5Hex %.0f MiB/s (CPU %.2f s), md5sum %.0f MiB/s (CPU %.2f s)\n", mib / ours,
                oursCpu, mib / tool, toolCpu);
  }
  double ratio = best.theirs / best.ours;
  double cpuRatio = best.theirsCpu / best.oursCpu;
  state.counters["ours_MiB/s"] = mib / best.ours;
  state.counters["md5sum_MiB/s"] = mib / best.theirs;
  state.counters["ratio"] = ratio;
  state.counters["cpu_ratio"] = cpuRatio;
  state.counters["rss_growth_MiB"] = static_cast<double>(best.rss) / (1 << 20);
  std::printf("md5 1 GiB (best of %lld): md5Hex %.0f MiB/s, md5sum %.0f MiB/s, ratio %.2f, CPU-time "
              "ratio %.2f (target >= 0.95); RSS +%.1f MiB at most (target < 32)\n",
              static_cast<long long>(state.iterations()), mib / best.ours, mib / best.theirs, ratio,
              cpuRatio, static_cast<double>(best.rss) / (1 << 20));
}

BENCHMARK(BM_DownloadVersusCurl)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5VersusMd5sum)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
