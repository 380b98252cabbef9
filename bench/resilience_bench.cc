// What surviving downloads and proving packages cost, on a 1 GiB package
// served by the loopback HTTPS file server of the tests:
//   - verifying a fresh download: digests made while the bytes arrive
//     (then a comparison) against the design's separate MD5 pass over the
//     finished file; and what hashing on the fly adds to the download;
//   - the same with SHA-256 and the signature prehash as well;
//   - bytes fetched again when the connection drops three times (at 25%,
//     50% and 75%) and the download step resumes by itself, against the
//     1.5 package sizes a restart from zero after each drop would fetch;
//   - failover: the first of two hosts cuts at 40% and stays down; time
//     and bytes on the wire until the second host has finished, against
//     one clean download from one host, and against a failover without a
//     digest (the second host starts from byte 0).
// RESILIENCE_BENCH_MIB changes the package size. Files live under /tmp and
// are removed at the end.
#include <benchmark/benchmark.h>

#include "bench_files.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "install/package_cache.h"
#include "network/downloader.h"
#include "proof/integrity.h"
#include "proof/package_signature.h"
#include "support/loopback_file_server.h"

namespace {

using namespace installer;
using Clock = std::chrono::steady_clock;

std::int64_t packageBytes() {
  const char* mib = std::getenv("RESILIENCE_BENCH_MIB");
  return (mib ? std::atoll(mib) : 1024) * (std::int64_t{1} << 20);
}

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Fixture {
  std::string dir;
  std::string source;
  std::string md5;
  std::string sha256;
  SigningKeyPair keys = generateSigningKeyPair();
  std::string signature;
  testing::LoopbackFileServer server;

  Fixture() {
    char pattern[] = "/tmp/resilience-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    source = dir + "/source.dmg";
    bench::writeIncompressibleFile(source, packageBytes());
    auto digests = digestFile(source, {.md5 = true, .sha256 = true, .signature = false});
    md5 = *digests.md5;
    sha256 = *digests.sha256;
    signature = base64Encode(signPackageFile(source, keys.secretKey));
    server.setFile("/big.dmg", served());
    server.start();
  }
  ~Fixture() {
    server.stop();
    std::filesystem::remove_all(dir);
  }
  testing::ServedFile served() const {
    testing::ServedFile file;
    file.diskPath = source;
    file.etag = "\"big\"";
    return file;
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// One download of the package with the given digests made on the fly.
// Returns the download's wall time; *file receives the finished file.
double download(DigestKinds kinds, std::optional<PackageDigests>* digests) {
  auto& f = fixture();
  Downloader::Options options;
  options.caBundlePath = f.server.caBundlePath();
  options.digests = kinds;
  Downloader downloader(options);
  platform::Semaphore done;
  auto begin = Clock::now();
  downloader.start(*platform::URL::parse(f.server.url("/big.dmg")), f.dir + "/pkg.dmg", std::nullopt,
                   nullptr, [&](const DownloadResult&) { done.signal(); });
  done.wait();
  double took = seconds(begin);
  *digests = downloader.digests();
  return took;
}

struct Figures {
  double download = 1e9, verify = 1e9;
  void keep(double d, double v) {
    if (d + v < download + verify) {
      download = d;
      verify = v;
    }
  }
};

void BM_VerifyAfterDownload(benchmark::State& state) {
  auto& f = fixture();
  const std::string pkg = f.dir + "/pkg.dmg";
  PackageExpectations md5Only{.md5 = f.md5};
  PackageExpectations everything{.md5 = f.md5, .sha256 = f.sha256, .signature = f.signature,
                                 .signingKey = base64Encode(f.keys.publicKey)};
  Figures streamed, separate, streamedAll;
  for (auto _ : state) {
    std::optional<PackageDigests> digests;
    // The design: download, then one MD5 pass over the file.
    double d0 = download({.md5 = false}, &digests);
    auto begin = Clock::now();
    verifyChecksum(pkg, f.md5);
    separate.keep(d0, seconds(begin));
    // Digests on the fly, then compare.
    double d1 = download({.md5 = true}, &digests);
    begin = Clock::now();
    verifyDigests(*digests, md5Only);
    streamed.keep(d1, seconds(begin));
    // MD5, SHA-256 and the signature prehash on the fly.
    double d2 = download(everything.kinds(), &digests);
    begin = Clock::now();
    verifyDigests(*digests, everything);
    streamedAll.keep(d2, seconds(begin));
    state.SetIterationTime(d1 + streamed.verify);
    std::printf("  run: separate %.2f s + %.3f s, on the fly %.2f s + %.6f s, all digests %.2f s + %.6f s\n",
                d0, separate.verify, d1, streamed.verify, d2, streamedAll.verify);
  }
  auto line = [](const char* name, const Figures& x, const Figures& base) {
    std::printf("%-34s download %6.2f s, verify %8.4f s (%5.2f%% of the download), total %6.2f s "
                "(%+.1f%% against download + separate MD5)\n",
                name, x.download, x.verify, 100 * x.verify / x.download, x.download + x.verify,
                100 * ((x.download + x.verify) / (base.download + base.verify) - 1));
  };
  std::printf("verify after a %lld MiB download (best of %lld):\n",
              static_cast<long long>(packageBytes() >> 20), static_cast<long long>(state.iterations()));
  line("download, then separate MD5 pass", separate, separate);
  line("MD5 on the fly", streamed, separate);
  line("MD5 + SHA-256 + signature on the fly", streamedAll, separate);
  state.counters["verify_share_pct"] = 100 * streamed.verify / streamed.download;
  state.counters["separate_share_pct"] = 100 * separate.verify / separate.download;
  std::filesystem::remove(pkg);
}

void BM_RefetchAfterThreeDrops(benchmark::State& state) {
  auto& f = fixture();
  const std::int64_t size = packageBytes();
  Reporter reporter([](const std::string&, const std::string&) {});
  for (auto _ : state) {
    std::filesystem::remove_all(f.dir + "/cache");
    auto file = f.served();
    file.faults = {size / 4, size / 4, size / 4};  // each answer is cut after another quarter
    f.server.setFile("/big.dmg", file);
    PackageDownloadStep::Options options;
    options.cacheDirectory = f.dir + "/cache";
    options.workingDirectory = f.dir;
    options.downloader.caBundlePath = f.server.caBundlePath();
    options.reporter = &reporter;
    options.retryDelays = {std::chrono::milliseconds(0), std::chrono::milliseconds(0),
                           std::chrono::milliseconds(0)};
    PackageDownloadStep step(options);
    const std::int64_t before = f.server.bytesSent();
    auto begin = Clock::now();
    step.run(*platform::URL::parse(f.server.url("/big.dmg")), std::nullopt,
             PackageExpectations{.md5 = f.md5}, {});
    double took = seconds(begin);
    const std::int64_t sent = f.server.bytesSent() - before;
    state.SetIterationTime(took);
    state.counters["refetched_bytes"] = static_cast<double>(sent - size);
    std::printf("three drops, %d attempts: %lld bytes sent for a %lld-byte package: %lld fetched "
                "again (%.4f%%), in %.2f s; a restart after each drop would fetch %lld again\n",
                step.downloadAttempts(), static_cast<long long>(sent), static_cast<long long>(size),
                static_cast<long long>(sent - size), 100.0 * static_cast<double>(sent - size) / size,
                took, static_cast<long long>(size / 4 + size / 2 + size * 3 / 4));
  }
  f.server.setFile("/big.dmg", f.served());
  std::filesystem::remove_all(f.dir + "/cache");
}

// Two hosts of the same package; the first cuts its answer at 40% and is
// down from then on (its retry finds no server).
void BM_FailoverAt40Percent(benchmark::State& state) {
  auto& f = fixture();
  const std::int64_t size = packageBytes();
  Reporter reporter([](const std::string&, const std::string&) {});
  auto once = [&](bool failover, bool digest, std::int64_t* wire) {
    testing::LoopbackFileServer first, second;
    auto file = f.served();
    if (failover) file.faults = {size * 4 / 10};
    first.setFile("/big.dmg", file);
    second.setFile("/big.dmg", f.served());
    first.start();
    second.start();
    const std::string cas = f.dir + "/cas.pem";
    {
      std::ofstream out(cas, std::ios::binary);
      out << std::ifstream(first.caBundlePath()).rdbuf() << std::ifstream(second.caBundlePath()).rdbuf();
    }
    std::filesystem::remove_all(f.dir + "/cache");
    PackageDownloadStep::Options options;
    options.cacheDirectory = f.dir + "/cache";
    options.workingDirectory = f.dir;
    options.downloader.caBundlePath = cas;
    options.reporter = &reporter;
    options.retryDelays = {std::chrono::milliseconds(0)};
    options.jitter = [&first] {
      first.stop();
      return 1.0;
    };
    PackageDownloadStep step(options);
    auto begin = Clock::now();
    step.run(std::vector<platform::URL>{*platform::URL::parse(first.url("/big.dmg")),
                                        *platform::URL::parse(second.url("/big.dmg"))},
             std::nullopt, digest ? PackageExpectations{.md5 = f.md5} : PackageExpectations{}, {});
    double took = seconds(begin);
    *wire = first.bytesSent() + second.bytesSent();
    return took;
  };
  for (auto _ : state) {
    std::int64_t clean = 0, joined = 0, restarted = 0;
    double t0 = once(false, true, &clean);
    double t1 = once(true, true, &joined);
    double t2 = once(false, false, &restarted);
    double t3 = once(true, false, &restarted);
    state.SetIterationTime(t1);
    state.counters["wire_ratio"] = static_cast<double>(joined) / static_cast<double>(size);
    std::printf("failover at 40%% of %lld MiB: one host, no fault %.2f s (%.3fx on the wire); "
                "failover with MD5 %.2f s (%.3fx); no digest: one host %.2f s, failover %.2f s (%.3fx)\n",
                static_cast<long long>(size >> 20), t0, static_cast<double>(clean) / size, t1,
                static_cast<double>(joined) / size, t2, t3, static_cast<double>(restarted) / size);
  }
  std::filesystem::remove_all(f.dir + "/cache");
}

BENCHMARK(BM_VerifyAfterDownload)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefetchAfterThreeDrops)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FailoverAt40Percent)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
