// A whole install run against doing the same work by hand:
//  - the install coordinator with the real resolver, downloader, unarchiver
//    (ditto stand-in) and installer, fetching a 200 MiB ZIP package (a
//    bundle of incompressible random files) from the demo service on
//    loopback and copying the bundle into an applications directory;
//  - `curl` of the same URL, `unzip -q` and `cp -a` of the bundle.
// Target: the install run within 1.5x of the manual pipeline. Both sides
// run alternately E2E_BENCH_ROUNDS times (default 2) after a `sync`, the
// package cache and the destinations emptied before each run; the best of
// each is reported. E2E_BENCH_MIB sets the package size.
//
//   build-bench/bench/e2e_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "publish/demo_service.h"
#include "install/install_coordinator.h"
#include "install/real_install_steps.h"
#include "proof/integrity.h"
#include "support/package_fixtures.h"
#include "support/scoped_temp_home.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

int envInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::atoi(text) : fallback;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A bundle of `mib` MiB of random bytes in 8 MiB files plus the usual
// Info.plist, executable and symlink.
fs::path makeBundle(const fs::path& parent, int mib) {
  installer::testing::AppBundleSpec layout;
  layout.identifier = "com.example.bench";
  fs::path app = installer::testing::writeAppBundle(parent, "Bench.app", layout);
  std::mt19937_64 rng(7);
  std::string chunk(8 << 20, '\0');
  for (int left = mib, i = 0; left > 0; left -= 8, ++i) {
    for (size_t k = 0; k < chunk.size(); k += 8) {
      std::uint64_t v = rng();
      std::memcpy(chunk.data() + k, &v, 8);
    }
    installer::testing::writeFile(app / "Contents/Resources" / ("blob" + std::to_string(i) + ".bin"),
                                  chunk.substr(0, static_cast<size_t>(std::min(left, 8)) << 20));
  }
  return app;
}

// The tool stand-ins of the build this benchmark belongs to.
fs::path helpersDirectory() {
  if (const char* dir = std::getenv("INSTALLER_TEST_HELPERS_DIR"); dir && *dir) return dir;
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "Installer.app/Contents/Helpers";
}

void runShell(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void BM_EndToEndInstall(benchmark::State& state) {
  const int mib = envInt("E2E_BENCH_MIB", 200);
  const int rounds = envInt("E2E_BENCH_ROUNDS", 2);
  installer::testing::ScopedTempHome home;
  fs::path served = home.root() / "served";
  fs::create_directories(served);
  makeBundle(home.root() / "source", mib);
  fs::path zip = served / "Bench.zip";
  runShell("cd '" + (home.root() / "source").string() + "' && zip -q -r -y '" + zip.string() +
           "' Bench.app");
  const std::int64_t zipBytes = static_cast<std::int64_t>(fs::file_size(zip));

  installer::demo::DemoServiceOptions options;
  options.packageRoot = served;
  installer::demo::DemoService service(options);
  std::string error;
  if (!service.start(&error)) {
    state.SkipWithError(("demo service: " + error).c_str());
    return;
  }
  service.setAnswer({200, R"({"status":0,"data":{"app_url":"{{base_url}}/packages/Bench.zip","md5":")" +
                              installer::md5Hex(zip) + R"(","version":"1.0"}})"});
  const std::string url = service.url("/packages/Bench.zip");
  const std::string ca = service.caBundlePath().string();

  installer::AppConfig config;
  config.productID = "com.example.bench";
  config.productName = "Bench";
  config.productVersion = "1.0";
  config.installDirectoryOverride = (home.root() / "Apps").string();
  config.checkUpdateURL = installer::platform::URL::parse(service.checkUpdateURL());
  config.checkUpdateApp = "bench";
  const fs::path cache = home.root() / "cache";
  installer::Reporter reporter([](const std::string&, const std::string&) {});
  installer::platform::ManualMainExecutor main;

  auto installOnce = [&]() -> double {
    fs::remove_all(cache);
    fs::remove_all(home.root() / "Apps");
    runShell("sync");
    installer::RealInstallStepsOptions steps;
    installer::CurlCheckUpdateTransport::Options transport;
    transport.caBundlePath = ca;
    steps.resolver = installer::PackageLinkResolver::create(
        config, std::make_shared<installer::CurlCheckUpdateTransport>(transport),
        installer::PackageLinkResolver::Dependencies{
            .installedVersion = {}, .report = [&](const installer::ReportEvent& e) { reporter.report(e); }});
    steps.tools = installer::PackageTools::withHelpers(helpersDirectory());
    steps.applicationDirectories = std::vector<fs::path>{};
    installer::InstallCoordinator::Environment env;
    env.mainExecutor = &main;
    env.reporter = &reporter;
    env.cacheDirectory = cache;
    env.downloader.caBundlePath = ca;
    auto start = Clock::now();
    auto coordinator = installer::InstallCoordinator::create(
        config, installer::makeRealInstallSteps(config, steps), env);
    bool done = false, ok = false;
    coordinator->onInstalled = [&](const fs::path&) { done = ok = true; };
    coordinator->onFailure = [&](const installer::InstallFailure& f) {
      done = true;
      error = installer::failureCaseName(f) + ": " + installer::failureDetail(f);
    };
    coordinator->onAlreadyInstalled = [&](const fs::path&) { done = true; error = "already installed"; };
    coordinator->start(false);
    main.pumpUntil([&] { return done; }, 600s);
    double elapsed = seconds(Clock::now() - start);
    coordinator.reset();
    if (!ok) throw std::runtime_error("install run failed: " + error);
    return elapsed;
  };

  auto manualOnce = [&]() -> double {
    fs::path work = home.root() / "manual";
    fs::remove_all(work);
    fs::create_directories(work / "Apps");
    runShell("sync");
    auto start = Clock::now();
    runShell("cd '" + work.string() + "' && curl -s -f --cacert '" + ca + "' -o Bench.zip '" + url +
             "' && unzip -q Bench.zip -d x && cp -a x/Bench.app Apps/");
    double elapsed = seconds(Clock::now() - start);
    fs::remove_all(work);
    return elapsed;
  };

  for (auto _ : state) {
    std::vector<double> installs, manuals;
    for (int i = 0; i < rounds; ++i) {
      installs.push_back(installOnce());
      manuals.push_back(manualOnce());
    }
    double install = *std::min_element(installs.begin(), installs.end());
    double manual = *std::min_element(manuals.begin(), manuals.end());
    state.SetIterationTime(install);
    state.counters["package_MiB"] = static_cast<double>(zipBytes) / (1 << 20);
    state.counters["install_s"] = install;
    state.counters["manual_s"] = manual;
    state.counters["ratio"] = install / manual;
    state.counters["install_MiB_per_s"] = static_cast<double>(zipBytes) / (1 << 20) / install;
  }
}

BENCHMARK(BM_EndToEndInstall)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
