// From starting the installer to the product running, against `curl`
// fetching the same package alone: the figure that says whether unpacking
// while downloading has made the install (nearly) as fast as the download.
//
// The package is an application bundle Bench.app (Info.plist, a tiny
// executable script, half incompressible data in files of 1-8 MiB, half text
// in pages of 256 KiB) packed as a deflated ZIP by `installer-publish pack`'s
// packer, made once and kept beside this program (--data to move it). The
// demo service serves it over HTTPS on loopback, paced to --rate MiB/s, and
// answers the update check with its app_url and md5 (and sha256 with
// --sha256). Each run times, alternately:
//
//   curl            curl --cacert CA -o FILE URL
//   curl+unzip+cp   the same, then unzip -q, cp -a of the bundle into a fresh
//                   applications folder, and the product started from there
//   installer       the install coordinator with the real steps (update
//                   check, download, proofs, unpacking, placing the bundle),
//                   an empty package cache and a fresh install folder, from
//                   the resolver's first check to onInstalled, then the
//                   product started as the installer window starts it
//
// "Product running" is the moment the product's executable has written
// its marker file (the path comes in as its start-up argument). Nothing is
// cached between runs: the package cache, the install folder and curl's
// file are removed, and `sync` runs, before every run. Target: the
// installer's median within 1.10x of curl's.
//
// Whatever the coordinator does inside (download then unpack, or unpack
// while the bytes arrive) is its own business: only its public interface
// is used, so the same program measures both.
//
// Disk images stay serial. Everything a UDIF image says about its layout is
// at its end: the 512-byte trailer ("koly" block) in the last 512 bytes
// names the XML property list whose "blkx" tables map every compressed
// block to its place in the volume. Streaming one would need the trailer
// first by a Range request for the last 512 bytes, then the property list
// by a second Range request, and only then the blocks in order of their
// offsets, each inflated into its place in a sparse volume file as it
// arrives. Even then the files could not be placed early: the volume's file
// system (HFS+ catalogue or APFS object map) may lie anywhere in the volume,
// and the image is opened by attaching the whole volume (hdiutil, 7-Zip
// over it), so the work after the last byte would barely shrink while every
// image would cost two extra round trips and a second proof path for
// ranges. The installer therefore downloads an image whole, proves it,
// then attaches it.
//
//   cmake --build build/plain --target stream_install_bench helper_ditto
//   nice build/plain/bench/stream_install_bench [--mib 256] [--rate 48] [--runs 3]
//        [--sha256] [--data DIR] [--helpers DIR]
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_files.h"
#include "install/install_coordinator.h"
#include "install/real_install_steps.h"
#include "package/running_apps.h"
#include "platform/dispatch.h"
#include "proof/integrity.h"
#include "publish/bundle_packer.h"
#include "publish/demo_service.h"
#include "support/package_fixtures.h"
#include "support/scoped_temp_home.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const char* const kIdentifier = "com.example.streambench";
// Bumped whenever the bundle's layout changes, so an old package is not reused.
const char* const kLayout = "v2";

struct Options {
  int mib = 256;
  double rateMiB = 48;
  int runs = 3;
  bool sha256 = false;
  fs::path data;
  fs::path helpers;
};

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "%s\nusage: stream_install_bench [--mib N] [--rate MIB_PER_S] [--runs N] [--sha256] "
               "[--data DIR] [--helpers DIR]\n",
               problem.c_str());
  std::exit(2);
}

fs::path executableDirectory() { return fs::read_symlink("/proc/self/exe").parent_path(); }

Options parse(int argc, char** argv) {
  Options o;
  o.data = executableDirectory() / "stream_install_bench_data";
  o.helpers = executableDirectory().parent_path() / "Installer.app/Contents/Helpers";
  if (const char* dir = std::getenv("INSTALLER_TEST_HELPERS_DIR"); dir && *dir) o.helpers = dir;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--sha256") {
      o.sha256 = true;
      continue;
    }
    if (flag == "--help" || flag == "-h") usage("");
    if (i + 1 >= argc) usage("missing value for " + flag);
    std::string value = argv[++i];
    try {
      if (flag == "--mib") {
        o.mib = std::stoi(value);
      } else if (flag == "--rate") {
        o.rateMiB = std::stod(value);
      } else if (flag == "--runs") {
        o.runs = std::stoi(value);
      } else if (flag == "--data") {
        o.data = value;
      } else if (flag == "--helpers") {
        o.helpers = value;
      } else {
        usage("unknown option " + flag);
      }
    } catch (const std::logic_error&) {
      usage("bad value for " + flag + ": " + value);
    }
  }
  if (o.mib < 2 || o.runs < 1 || o.rateMiB < 0) usage("--mib must be >= 2, --runs >= 1, --rate >= 0");
  return o;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Runs argv[0] (found on PATH) to its end; throws unless it exits with 0.
void run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string line;
    for (const auto& a : argv) line += a + " ";
    throw std::runtime_error("failed: " + line);
  }
}

// Pseudo-random bytes that no compressor shrinks, different for every seed.
void writeRandomFile(const fs::path& file, std::int64_t bytes, std::uint64_t seed) {
  if (!installer::bench::writeIncompressibleFile(file.string(), bytes, seed)) {
    throw std::runtime_error("cannot write " + file.string());
  }
}

// Text as documentation and localised resources are: made-up words of one
// to four syllables in random order, which deflate shrinks to about 1/2.7
// (English prose: 1/2.5 to 1/3).
std::int64_t writeTextFile(const fs::path& file, std::int64_t bytes, std::uint64_t seed) {
  static const char* const syllables[] = {"ka", "lo", "mi",  "ne", "tor", "sa", "ver", "in", "an", "es",
                                          "con", "pre", "dis", "ment", "tion", "al", "er", "ly", "ing", "ed",
                                          "ob", "ra", "te", "si", "un", "re", "de", "po", "li", "ca"};
  static const int lengths[] = {1, 1, 2, 2, 2, 3, 3, 4};
  std::uint64_t x = 0x2545F4914F6CDD1Dull ^ (seed * 0x94D049BB133111EBull);
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  std::string text;
  text.reserve(static_cast<std::size_t>(bytes) + 64);
  int inLine = 0;
  while (static_cast<std::int64_t>(text.size()) < bytes) {
    for (int n = lengths[next() % 8]; n > 0; --n) text += syllables[next() % 30];
    if (++inLine == 12 + static_cast<int>(next() % 5)) {
      text += ".\n";
      inLine = 0;
    } else {
      text += ' ';
    }
  }
  text.resize(static_cast<std::size_t>(bytes));
  installer::testing::writeFile(file, text);
  return bytes;
}

// The product's executable: writes the marker named by its start-up
// argument, so the benchmark sees it run.
const char* const kProductScript =
    "#!/bin/sh\n"
    "if [ \"$1\" = --StartUpArgs ] && [ -n \"$2\" ]; then : > \"$2\"; fi\n";

// The package of a `mib` MiB bundle below `data`, made on first use.
fs::path ensurePackage(const fs::path& data, int mib) {
  fs::path zip = data / ("Bench-" + std::string(kLayout) + "-" + std::to_string(mib) + "MiB.zip");
  if (fs::exists(zip)) return zip;
  std::printf("making %s (once)...\n", zip.c_str());
  std::fflush(stdout);
  fs::path tree = data / ("tree-" + std::to_string(::getpid()));
  fs::remove_all(tree);
  installer::testing::AppBundleSpec layout;
  layout.identifier = kIdentifier;
  layout.executable = "Bench";
  layout.shortVersion = "1.0";
  layout.script = kProductScript;
  fs::path app = installer::testing::writeAppBundle(tree, "Bench.app", layout);
  const std::int64_t total = static_cast<std::int64_t>(mib) << 20;
  std::int64_t random = total / 2;
  for (int i = 0; random > 0; ++i) {
    std::int64_t size = std::min<std::int64_t>(random, static_cast<std::int64_t>(1 + i % 8) << 20);
    fs::path dir = app / "Contents/Resources/Media";
    fs::create_directories(dir);
    writeRandomFile(dir / ("clip" + std::to_string(i) + ".bin"), size, static_cast<std::uint64_t>(i) + 1);
    random -= size;
  }
  std::int64_t text = total - total / 2;
  for (int i = 0; text > 0; ++i) {
    fs::path file = app / "Contents/Resources" / ("Docs" + std::to_string(i / 64)) /
                    ("page" + std::to_string(i) + ".txt");
    text -= writeTextFile(file, std::min<std::int64_t>(text, 256 << 10), static_cast<std::uint64_t>(i) + 1);
  }
  fs::path partial = zip;
  partial += ".partial";
  installer::publish::packBundle(app, installer::publish::PackageFormat::zip, partial);
  fs::rename(partial, zip);
  fs::remove_all(tree);
  return zip;
}

// Waits for the product's marker; false after 30 s.
bool waitForMarker(const fs::path& marker) {
  auto deadline = Clock::now() + 30s;
  while (!fs::exists(marker)) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

const char* stageName(installer::InstallStage stage) {
  switch (stage) {
    case installer::InstallStage::idle: return "idle";
    case installer::InstallStage::checking: return "checking";
    case installer::InstallStage::downloading: return "downloading";
    case installer::InstallStage::verifying: return "verifying";
    case installer::InstallStage::mounting: return "mounting";
    case installer::InstallStage::installing: return "installing";
    case installer::InstallStage::finished: return "finished";
  }
  return "?";
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Times of one installer run, seconds from its start.
struct InstallerTimes {
  double running = 0;                  // the product's marker exists
  double installed = 0;                // onInstalled
  std::optional<double> lastByte;      // the server has sent the package's last byte
  std::map<installer::InstallStage, double> stages;  // first entry into each stage
};

class Bench {
 public:
  Bench(const Options& options, fs::path package)
      : options_(options), package_(std::move(package)), packageBytes_(static_cast<std::int64_t>(fs::file_size(package_))) {
    installer::demo::DemoServiceOptions service;
    service.packageRoot = package_.parent_path();
    service.throttleBytesPerSecond = static_cast<std::int64_t>(options.rateMiB * (1 << 20));
    service_ = std::make_unique<installer::demo::DemoService>(service);
    std::string error;
    if (!service_->start(&error)) throw std::runtime_error("demo service: " + error);
    std::string name = package_.filename().string();
    std::string body = R"({"status":0,"data":{"app_url":"{{base_url}}/packages/)" + name + R"(","md5":")" +
                       installer::md5Hex(package_) + R"(","version":"1.0")";
    if (options.sha256) {
      body += R"(,"sha256":")" + *installer::digestFile(package_, {.md5 = false, .sha256 = true}).sha256 + "\"";
    }
    service_->setAnswer({200, body + "}}"});
    url_ = service_->url("/packages/" + name);
    ca_ = service_->caBundlePath().string();
  }

  std::int64_t packageBytes() const { return packageBytes_; }

  double curlAlone() {
    return timedIn("curl", [this](const fs::path& work) { fetch(work / "Bench.zip"); });
  }

  double curlUnzipCopy() {
    return timedIn("manual", [this](const fs::path& work) {
      fs::path marker = work / "running";
      fetch(work / "Bench.zip");
      run({"unzip", "-q", (work / "Bench.zip").string(), "-d", (work / "x").string()});
      fs::create_directories(work / "Apps");
      run({"cp", "-a", (work / "x/Bench.app").string(), (work / "Apps").string()});
      if (!installer::launchApplication(work / "Apps/Bench.app", marker.string()) || !waitForMarker(marker)) {
        throw std::runtime_error("the unzipped product did not run");
      }
    });
  }

  // Seconds `steps` take in a fresh folder named `name`, removed after.
  double timedIn(const char* name, const std::function<void(const fs::path&)>& steps) {
    fs::path work = fresh(name);
    auto start = Clock::now();
    steps(work);
    double elapsed = seconds(Clock::now() - start);
    fs::remove_all(work);
    return elapsed;
  }

  InstallerTimes installer() {
    fs::path work = fresh("installer");
    fs::create_directories(work / "Apps");
    fs::create_directories(work / "cache");
    fs::path marker = work / "running";

    installer::AppConfig config;
    config.productID = kIdentifier;
    config.productName = "Bench";
    config.productVersion = "1.0";
    config.allowedDownloadImmediately = true;
    config.startUpArgs = marker.string();
    config.installDirectoryOverride = (work / "Apps").string();
    config.checkUpdateURL = installer::platform::URL::parse(service_->checkUpdateURL());
    config.checkUpdateApp = "bench";

    installer::Reporter reporter([](const std::string&, const std::string&) {});
    InstallerTimes times;
    std::string failure;
    bool done = false;
    const std::int64_t sentBefore = service_->packageBytesSent();
    auto start = Clock::now();
    auto since = [start] { return seconds(Clock::now() - start); };

    installer::CurlCheckUpdateTransport::Options transport;
    transport.caBundlePath = ca_;
    installer::PackageLinkResolver::Dependencies dependencies;
    dependencies.installedVersion = installer::makeInstalledVersionLookup({});
    dependencies.report = [&reporter](const installer::ReportEvent& e) { reporter.report(e); };
    auto resolver = installer::PackageLinkResolver::create(
        config, std::make_shared<installer::CurlCheckUpdateTransport>(transport), dependencies);
    resolver->prefetch();
    installer::RealInstallStepsOptions steps;
    steps.resolver = resolver;
    steps.tools = installer::PackageTools::withHelpers(options_.helpers);
    steps.applicationDirectories = std::vector<fs::path>{};
    installer::InstallCoordinator::Environment env;
    env.mainExecutor = &main_;
    env.reporter = &reporter;
    env.installerBundleIdentifier = "com.example.streambench.installer";
    env.cacheDirectory = work / "cache";
    env.downloader.caBundlePath = ca_;
    auto coordinator =
        installer::InstallCoordinator::create(config, installer::makeRealInstallSteps(config, steps), env);
    coordinator->onStage = [&](installer::InstallStage stage) {
      times.stages.try_emplace(stage, since());
    };
    coordinator->onInstalled = [&](const fs::path& app) {
      times.installed = since();
      // As the installer window does once the product is in place.
      if (!installer::launchApplication(app, config.startUpArgs)) failure = "the installed product did not start";
      done = true;
    };
    coordinator->onFailure = [&](const installer::InstallFailure& f) {
      failure = installer::failureCaseName(f) + ": " + installer::failureDetail(f);
      done = true;
    };
    coordinator->onAlreadyInstalled = [&](const fs::path&) {
      failure = "already installed";
      done = true;
    };
    coordinator->onUpdateAvailable = [&](const fs::path&, const std::string&, const std::string&) {
      failure = "offered an update";
      done = true;
    };
    coordinator->onTargetRunning = [&](const fs::path&) {
      failure = "the product is running";
      done = true;
    };
    // The server's side of the last byte: progress reaches the main thread
    // throttled, so it cannot tell. Counted over every request of the run,
    // so a ranged request beside the download (a ZIP's central directory)
    // brings it forward by the time that range takes on the wire.
    std::atomic<bool> stop{false};
    std::atomic<double> lastByte{-1};
    std::thread watcher([&, sentBefore] {
      while (!stop) {
        if (service_->packageBytesSent() >= sentBefore + packageBytes_) {
          lastByte = since();
          return;
        }
        std::this_thread::sleep_for(1ms);
      }
    });
    coordinator->start(false);
    main_.pumpUntil([&] { return done; }, 600s);
    if (!done) failure = "no end within 600 s";
    if (failure.empty() && !waitForMarker(marker)) failure = "the installed product did not write its marker";
    times.running = since();
    stop = true;
    watcher.join();
    if (lastByte >= 0) times.lastByte = lastByte.load();
    coordinator->settle(10s);
    coordinator.reset();
    fs::remove_all(work);
    if (!failure.empty()) throw std::runtime_error("installer run failed: " + failure);
    return times;
  }

 private:
  fs::path fresh(const std::string& name) {
    fs::path work = fs::temp_directory_path() / name;
    fs::remove_all(work);
    fs::create_directories(work);
    run({"sync"});
    return work;
  }

  void fetch(const fs::path& file) {
    run({"curl", "-s", "-S", "-f", "--cacert", ca_, "-o", file.string(), url_});
    if (static_cast<std::int64_t>(fs::file_size(file)) != packageBytes_) throw std::runtime_error("curl: short file");
  }

  const Options& options_;
  fs::path package_;
  std::int64_t packageBytes_;
  std::unique_ptr<installer::demo::DemoService> service_;
  std::string url_;
  std::string ca_;
  installer::platform::ManualMainExecutor main_;
};

std::string list(const std::vector<double>& v) {
  std::string s;
  char buffer[32];
  for (double x : v) {
    std::snprintf(buffer, sizeof buffer, "%s%.2f", s.empty() ? "" : " ", x);
    s += buffer;
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  try {
    if (!fs::exists(options.helpers / "ditto")) {
      std::fprintf(stderr, "no ditto stand-in in %s (build helper_ditto, or pass --helpers)\n",
                   options.helpers.c_str());
      return 1;
    }
    fs::create_directories(options.data);
    fs::path package = ensurePackage(options.data, options.mib);
    // Everything the installer writes (working folders, desktop entries)
    // goes below a private home and temporary folder.
    installer::testing::ScopedTempHome home;
    Bench bench(options, package);
    const std::string loadBefore = loadAverage();
    char rate[32] = "full speed";
    if (options.rateMiB > 0) std::snprintf(rate, sizeof rate, "%g MiB/s", options.rateMiB);
    std::printf("stream_install_bench: %d MiB bundle, package %.1f MiB (deflated ZIP), HTTPS on loopback at %s, %d runs\n",
                options.mib, static_cast<double>(bench.packageBytes()) / (1 << 20), rate, options.runs);
    std::printf("load average before: %s (%u cores)\n", loadBefore.c_str(), std::thread::hardware_concurrency());
    std::fflush(stdout);

    std::vector<double> curl, manual, installer, installed, lastByte, tail;
    std::map<installer::InstallStage, std::vector<double>> stages;
    for (int i = 0; i < options.runs; ++i) {
      // A different order each run, so a change of load does not always hit the same case.
      for (int k = 0; k < 3; ++k) {
        switch ((i + k) % 3) {
          case 0:
            curl.push_back(bench.curlAlone());
            break;
          case 1:
            manual.push_back(bench.curlUnzipCopy());
            break;
          case 2: {
            InstallerTimes t = bench.installer();
            installer.push_back(t.running);
            installed.push_back(t.installed);
            if (t.lastByte) {
              lastByte.push_back(*t.lastByte);
              tail.push_back(t.running - *t.lastByte);
            }
            for (const auto& [name, at] : t.stages) stages[name].push_back(at);
            break;
          }
        }
      }
      std::printf("run %d done (load %s)\n", i + 1, loadAverage().c_str());
      std::fflush(stdout);
    }

    const double reference = median(curl);
    std::printf("\n%-44s %9s %14s   %s\n", "case", "median s", "ratio vs curl", "runs (s)");
    auto row = [&](const char* name, const std::vector<double>& v) {
      std::printf("%-44s %9.2f %13.2fx   %s\n", name, median(v), median(v) / reference, list(v).c_str());
    };
    row("curl alone", curl);
    row("curl + unzip -q + cp -a + start product", manual);
    row("installer: start to product running", installer);
    std::printf("\ninstaller, median seconds from its start:");
    for (const auto& [name, at] : stages) std::printf(" %s %.2f,", stageName(name), median(at));
    if (!lastByte.empty()) std::printf(" last byte %.2f,", median(lastByte));
    std::printf(" installed %.2f, running %.2f", median(installed), median(installer));
    if (!lastByte.empty()) std::printf("; running %.2f s after the last byte", median(tail));
    std::printf("\ncurl's rate: %.1f MiB/s\n", static_cast<double>(bench.packageBytes()) / (1 << 20) / reference);
    const double ratio = median(installer) / reference;
    std::printf("target: installer <= 1.10x curl: %.2fx, %s\n", ratio, ratio <= 1.10 ? "met" : "not met");
    std::printf("load average after: %s\n", loadAverage().c_str());
    std::printf(
        "\nDisk images stay serial: their layout (the UDIF trailer, \"koly\", in the last 512 bytes, and the\n"
        "block table it points to) is at the end of the file. Streaming one needs the trailer and then the\n"
        "block table first, by Range requests, then the blocks in order; the volume's file system can still\n"
        "only be read once the volume is whole, so little would be gained.\n");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stream_install_bench: %s\n", e.what());
    return 1;
  }
}
