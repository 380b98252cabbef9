// The streaming ZIP unpacker against `unzip` on the same archive: an
// application of half incompressible and half text data (64 MiB by
// default, ZIP_STREAM_BENCH_MIB to change it), deflated by `zip`.
//
// The unpacker is fed the archive from memory in 1 MiB pieces, as a
// download would hand it over, and times until `finish` returns (every file
// written, the central directory checked, modes set). `unzip -q` runs on
// the archive file. Both write into the same temporary folder; the page
// cache holds the archive for both.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "bench_files.h"
#include "extract/archive_extract.h"
#include "extract/stream_unpacker.h"

namespace fs = std::filesystem;

namespace {

struct Fixture {
  fs::path dir;
  fs::path archive;
  std::string bytes;

  Fixture() {
    std::int64_t mib = 64;
    if (const char* v = std::getenv("ZIP_STREAM_BENCH_MIB")) mib = std::max(2ll, std::atoll(v));
    dir = fs::temp_directory_path() / ("zip-stream-bench-" + std::to_string(getpid()));
    fs::path app = dir / "tree" / "Bench.app" / "Contents";
    fs::create_directories(app / "MacOS");
    fs::create_directories(app / "Resources");
    // Half: incompressible files of 1 to 8 MiB.
    std::int64_t random = mib / 2;
    for (int i = 0; random > 0; ++i) {
      std::int64_t size = std::min<std::int64_t>(random, 1 + i % 8);
      installer::bench::writeIncompressibleFile((app / "MacOS" / ("blob" + std::to_string(i))).string(),
                                                size << 20);
      random -= size;
    }
    // Half: text, in many small files as a bundle's resources are.
    std::int64_t text = (mib - mib / 2) << 20;
    for (int i = 0; text > 0; ++i) {
      std::ofstream out(app / "Resources" / ("page" + std::to_string(i) + ".txt"));
      std::int64_t written = 0;
      for (int line = 0; written < 256 << 10 && written < text; ++line) {
        std::string s = "line " + std::to_string(line) + " of page " + std::to_string(i) +
                        ": the quick brown fox jumps over the lazy dog " + std::to_string(line * 7919 % 1000) + "\n";
        out << s;
        written += static_cast<std::int64_t>(s.size());
      }
      text -= written;
    }
    fs::create_symlink("MacOS/blob0", app / "current");
    archive = dir / "bench.zip";
    std::string command = "cd " + (dir / "tree").string() + " && zip -q -r -y " + archive.string() + " .";
    if (std::system(command.c_str()) != 0) std::abort();
    std::ifstream in(archive, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
  }
  ~Fixture() { installer::helpers::removeTree(dir); }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

double childrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_StreamingUnpacker(benchmark::State& state) {
  Fixture& f = fixture();
  fs::path out = f.dir / "streamed";
  for (auto _ : state) {
    installer::helpers::StreamUnpacker unpacker(out);
    for (std::size_t at = 0; at < f.bytes.size(); at += 1 << 20) {
      unpacker.feed(f.bytes.data() + at, std::min<std::size_t>(1 << 20, f.bytes.size() - at));
    }
    std::string error;
    if (!unpacker.finish(&error)) state.SkipWithError(error.c_str());
    state.PauseTiming();
    installer::helpers::removeTree(out);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.bytes.size()));
}

void BM_Unzip(benchmark::State& state) {
  Fixture& f = fixture();
  fs::path out = f.dir / "unzipped";
  double cpu = 0;
  for (auto _ : state) {
    double before = childrenCpuSeconds();
    std::string command = "unzip -q " + f.archive.string() + " -d " + out.string();
    if (std::system(command.c_str()) != 0) state.SkipWithError("unzip failed");
    cpu += childrenCpuSeconds() - before;
    state.PauseTiming();
    installer::helpers::removeTree(out);
    state.ResumeTiming();
  }
  state.counters["child_cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.bytes.size()));
}

}  // namespace

BENCHMARK(BM_StreamingUnpacker)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unzip)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
