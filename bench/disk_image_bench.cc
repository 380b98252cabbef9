// Attaching disk images through the hdiutil stand-in, side by side with
// `7z x` of the same image: every sample image in ../shared/samples (made
// on macOS) and one made here (an application of 128 MiB of incompressible
// files on HFS+, in zlib chunks). Each figure alternates the two sides and
// gives the best and the median wall-clock time of the rounds, and the
// children's CPU time (user + system) of the best round's kind, which a
// loaded machine disturbs less. Images that do not attach (encrypted, no
// UDIF trailer) show the time to fail. DISK_IMAGE_BENCH_ROUNDS sets the
// rounds (default 9).
//
//   INSTALLER_TEST_HELPERS_DIR=.../Installer.app/Contents/Helpers build-bench/bench/disk_image_bench
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_files.h"
#include "package/tool_runner.h"
#include "support/package_fixtures.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Timing {
  double wall = 0;
  double cpu = 0;  // the children's user + system time
};

double childrenCpu() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return secs(usage.ru_utime) + secs(usage.ru_stime);
}

Timing timed(const fs::path& tool, const std::vector<std::string>& args, int* status) {
  double cpu = childrenCpu();
  auto start = Clock::now();
  installer::ToolResult r = installer::runTool(tool, args);
  Timing t{std::chrono::duration<double>(Clock::now() - start).count(), childrenCpu() - cpu};
  *status = r.status;
  return t;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void removeTree(const fs::path& p) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(p, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(p, ec);
}

struct Row {
  std::string name;
  std::vector<double> attachWall, attachCpu, sevenZipWall, sevenZipCpu;
  int attachStatus = 0, sevenZipStatus = 0;
};

Row compare(const fs::path& image, const fs::path& hdiutil, const fs::path& work, int rounds) {
  Row row{image.filename().string()};
  fs::path mnt = work / "mnt", out = work / "7z";
  for (int r = 0; r < rounds; ++r) {
    fs::create_directories(mnt);
    Timing a = timed(hdiutil,
                     {"attach", image.string(), "-nobrowse", "-noautoopen", "-noverify", "-mountpoint", mnt.string()},
                     &row.attachStatus);
    removeTree(mnt);
    Timing s = timed("/usr/bin/7z", {"x", "-y", "-o" + out.string(), image.string()}, &row.sevenZipStatus);
    removeTree(out);
    row.attachWall.push_back(a.wall);
    row.attachCpu.push_back(a.cpu);
    row.sevenZipWall.push_back(s.wall);
    row.sevenZipCpu.push_back(s.cpu);
  }
  return row;
}

fs::path makeLargeImage(const fs::path& dir) {
  fs::path root = dir / "large-src";
  fs::path app = installer::testing::writeAppBundle(root, "Large.app");
  fs::create_directories(app / "Contents/Resources");
  for (int i = 0; i < 64; ++i) {
    installer::bench::writeIncompressibleFile((app / "Contents/Resources" / ("r" + std::to_string(i))).string(),
                                              2 << 20);
  }
  fs::create_symlink("/Applications", root / "Applications");
  fs::path dmg = dir / "made-udzo-hfs-app-128mib.dmg";
  installer::testing::makeDiskImage(root, "Large", dmg, installer::testing::UdifChunks::zlib);
  removeTree(root);
  return dmg;
}

}  // namespace

int main() {
  const char* helpers = std::getenv("INSTALLER_TEST_HELPERS_DIR");
  fs::path hdiutil = (helpers ? fs::path(helpers)
                              : fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                                    "Installer.app/Contents/Helpers") /
                     "hdiutil";
  int rounds = std::getenv("DISK_IMAGE_BENCH_ROUNDS") ? std::atoi(std::getenv("DISK_IMAGE_BENCH_ROUNDS")) : 9;
  if (rounds < 1) rounds = 1;
  installer::testing::TempDir work("disk-image-bench");
  std::vector<fs::path> images;
  fs::path samples = fs::path(INSTALLER_SOURCE_DIR).parent_path() / "shared" / "samples";
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(samples, ec)) {
    if (e.path().extension() == ".dmg") images.push_back(e.path());
  }
  if (images.empty()) std::printf("no sample images at %s\n", samples.c_str());
  std::sort(images.begin(), images.end());
  images.push_back(makeLargeImage(work.path()));

  std::printf("%-40s %22s %22s %7s %7s %s\n", "image", "stand-in best/median", "7z x best/median", "wall",
              "cpu", "exit (stand-in, 7z)");
  for (const auto& image : images) {
    Row r = compare(image, hdiutil, work.path(), rounds);
    double ab = *std::min_element(r.attachWall.begin(), r.attachWall.end());
    double sb = *std::min_element(r.sevenZipWall.begin(), r.sevenZipWall.end());
    double ac = median(r.attachCpu), sc = median(r.sevenZipCpu);
    std::printf("%-40s %9.1f / %6.1f ms %9.1f / %6.1f ms %6.2fx %6.2fx %d, %d\n", r.name.c_str(), ab * 1e3,
                median(r.attachWall) * 1e3, sb * 1e3, median(r.sevenZipWall) * 1e3, ab / sb, ac / sc,
                r.attachStatus, r.sevenZipStatus);
  }
  return 0;
}
