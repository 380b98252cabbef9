// Unpacking and installing, side by side with the standard tools:
//  - installApplication (direct copy, progress watcher on) of a bundle of
//    20 000 files and 1 GiB against `cp -a` of the same tree (ratio <= 1.1);
//  - the same install with the watcher off (the watcher costs <= 5%);
//  - one watcher sample (treeSize) over that bundle;
//  - ZIP extraction through the ditto stand-in against `unzip -q` of the
//    same archive (ratio <= 1.2).
// Fixtures live under $TMPDIR (or /tmp) and are removed at the end. Each
// figure is the best of several alternating runs after a `sync` (medians
// are printed too). PACKAGE_BENCH_SCALE=n shrinks the bundle n times,
// PACKAGE_BENCH_ROUNDS sets the install rounds, PACKAGE_BENCH_INSTALL_ONLY
// skips the ZIP part.
//
//   build-bench/bench/package_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "package/app_installer.h"
#include "package/file_copy.h"
#include "package/tool_runner.h"
#include "support/package_fixtures.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using installer::testing::TempDir;

namespace {

constexpr int kFiles = 20000;
constexpr std::int64_t kTotalBytes = 1LL << 30;

// Writes `files` files totalling about `bytes` below `bundle`, spread over
// nested directories like a real bundle (frameworks, resources), half of
// each file random and half repetitive so that ZIP compresses it a little.
void makeBundle(const fs::path& bundle, int files, std::int64_t bytes) {
  std::mt19937_64 rng(42);
  std::vector<char> chunk(1 << 20);
  for (size_t i = 0; i < chunk.size(); i += 8) {
    std::uint64_t v = rng();
    std::memcpy(chunk.data() + i, &v, 8);
  }
  std::fill(chunk.begin() + chunk.size() / 2, chunk.end(), 'z');
  // Sizes: mostly small files, a few large ones, like real applications.
  std::vector<std::int64_t> sizes(files);
  std::int64_t small = 0;
  for (int i = 0; i < files; ++i) {
    sizes[i] = i % 100 == 0 ? 0 : 512 + static_cast<std::int64_t>(rng() % 24000);
    small += sizes[i];
  }
  std::int64_t bigEach = (bytes - small) / (files / 100);
  for (int i = 0; i < files; i += 100) sizes[i] = bigEach;

  for (int i = 0; i < files; ++i) {
    fs::path dir = bundle / "Contents" / "Frameworks" / ("F" + std::to_string(i / 400)) /
                   ("R" + std::to_string((i / 40) % 10));
    if (i % 40 == 0) fs::create_directories(dir);
    fs::path file = dir / ("file" + std::to_string(i) + (i % 7 == 0 ? ".dylib" : ".res"));
    FILE* f = std::fopen(file.c_str(), "wb");
    std::int64_t left = sizes[i];
    size_t offset = static_cast<size_t>(i) * 4099 % (chunk.size() / 2);
    while (left > 0) {
      size_t n = static_cast<size_t>(std::min<std::int64_t>(left, chunk.size() - offset));
      std::fwrite(chunk.data() + offset, 1, n, f);
      left -= static_cast<std::int64_t>(n);
      offset = 0;
    }
    std::fclose(f);
    if (i % 7 == 0) fs::permissions(file, fs::perms(0755));
  }
  fs::create_directories(bundle / "Contents" / "MacOS");
  fs::create_symlink("../Frameworks/F0", bundle / "Contents" / "MacOS" / "link");
}

double seconds(const std::function<void()>& work) {
  if (std::system("sync") != 0) std::abort();
  auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The best run: on a shared machine the other runs carry other people's I/O.
double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

void removeTree(const fs::path& p) {
  std::error_code ec;
  fs::remove_all(p, ec);
}

void run(const char* command) {
  if (std::system(command) != 0) {
    std::fprintf(stderr, "failed: %s\n", command);
    std::exit(1);
  }
}

struct Fixture {
  TempDir dir{"package-bench"};
  fs::path source;
  fs::path zip;
  fs::path helpers;
  std::int64_t size = 0;
};

Fixture* fixture = nullptr;

void compareInstall(int rounds) {
  fs::path apps = fixture->dir / "Applications";
  fs::create_directories(apps);
  std::vector<double> withWatcher, withoutWatcher, cp;
  std::int64_t reports = 0;
  for (int r = 0; r < rounds; ++r) {
    withWatcher.push_back(seconds([&] {
      installer::installApplication(fixture->source, apps,
                                    [&](std::int64_t, std::int64_t) { ++reports; });
    }));
    removeTree(apps / "Bundle.app");
    withoutWatcher.push_back(seconds([&] { installer::installApplication(fixture->source, apps); }));
    removeTree(apps / "Bundle.app");
    std::string cmd = "cp -a '" + fixture->source.string() + "' '" + (apps / "Bundle.app").string() + "'";
    cp.push_back(seconds([&] { run(cmd.c_str()); }));
    removeTree(apps / "Bundle.app");
  }
  for (int r = 0; r < rounds; ++r) {
    std::printf("  round %d: watcher on %.3f s, off %.3f s, cp -a %.3f s\n", r + 1, withWatcher[r],
                withoutWatcher[r], cp[r]);
  }
  double w = best(withWatcher), wo = best(withoutWatcher), c = best(cp);
  std::printf("install (watcher on):  best %.3f s   cp -a: best %.3f s   ratio %.3f (target <= 1.1)\n", w, c,
              w / c);
  std::printf("install (watcher off): best %.3f s   watcher cost: %+.1f%% (target <= 5%%), %lld reports\n", wo,
              (w / wo - 1) * 100, static_cast<long long>(reports));
  double mw = median(withWatcher), mwo = median(withoutWatcher), mc = median(cp);
  std::printf("  medians: watcher on %.3f s, off %.3f s, cp -a %.3f s (ratio %.3f, watcher %+.1f%%)\n", mw, mwo,
              mc, mw / mc, (mw / mwo - 1) * 100);
}

void compareUnzip(int rounds) {
  std::vector<double> ditto, unzip;
  fs::path out1 = fixture->dir / "ditto-out", out2 = fixture->dir / "unzip-out";
  for (int r = 0; r < rounds; ++r) {
    fs::create_directories(out1);
    ditto.push_back(seconds([&] {
      auto result = installer::runTool(fixture->helpers / "ditto",
                                       {"-V", "-x", "-k", "--sequesterRsrc", "--rsrc",
                                        fixture->zip.string(), out1.string()});
      if (result.status != 0) std::exit(1);
    }));
    removeTree(out1);
    fs::create_directories(out2);
    std::string cmd = "unzip -q '" + fixture->zip.string() + "' -d '" + out2.string() + "'";
    unzip.push_back(seconds([&] { run(cmd.c_str()); }));
    removeTree(out2);
  }
  double d = best(ditto), u = best(unzip);
  std::printf("ZIP via ditto stand-in: best %.3f s   unzip -q: best %.3f s   ratio %.3f (target <= 1.2)\n", d, u,
              d / u);
  std::printf("  medians: ditto %.3f s, unzip %.3f s (ratio %.3f)\n", median(ditto), median(unzip),
              median(ditto) / median(unzip));
}

void BM_WatcherSample(benchmark::State& state) {
  for (auto _ : state) {
    auto size = installer::treeSize(fixture->source);
    benchmark::DoNotOptimize(size);
  }
  state.counters["files"] = kFiles;
}
BENCHMARK(BM_WatcherSample)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* helpers = std::getenv("INSTALLER_TEST_HELPERS_DIR");
  Fixture f;
  fixture = &f;
  f.helpers = helpers ? fs::path(helpers) : fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                                                 "Installer.app/Contents/Helpers";
  f.source = f.dir / "src" / "Bundle.app";
  std::printf("making a bundle of %d files, %lld MiB...\n", kFiles, static_cast<long long>(kTotalBytes >> 20));
  // PACKAGE_BENCH_SCALE=n divides the bundle for quick looks.
  int scale = std::getenv("PACKAGE_BENCH_SCALE") ? std::atoi(std::getenv("PACKAGE_BENCH_SCALE")) : 1;
  if (scale < 1) scale = 1;
  makeBundle(f.source, kFiles / scale, kTotalBytes / scale);
  f.size = *installer::treeSize(f.source);
  std::printf("bundle: %lld bytes\n", static_cast<long long>(f.size));

  compareInstall(std::getenv("PACKAGE_BENCH_ROUNDS") ? std::atoi(std::getenv("PACKAGE_BENCH_ROUNDS")) : 5);
  benchmark::RunSpecifiedBenchmarks();
  if (std::getenv("PACKAGE_BENCH_INSTALL_ONLY")) return 0;

  // The ZIP comparison uses a quarter of the bundle (5 000 files, ~256 MiB).
  fs::path zipSource = f.dir / "zipsrc" / "Bundle.app";
  makeBundle(zipSource, kFiles / 4, kTotalBytes / 4);
  f.zip = f.dir / "Bundle.zip";
  std::string cmd = "cd '" + zipSource.parent_path().string() + "' && zip -qry -1 '" + f.zip.string() +
                    "' Bundle.app";
  run(cmd.c_str());
  std::printf("zip: %lld bytes\n", static_cast<long long>(fs::file_size(f.zip)));
  compareUnzip(5);
  benchmark::Shutdown();
  return 0;
}
