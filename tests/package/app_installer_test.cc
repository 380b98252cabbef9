#include "package/app_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <mutex>

#include "package/file_copy.h"
#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;
using namespace std::chrono_literals;

// Collects progress reports from the watcher's queue.
class Reports {
 public:
  CopyProgressHandler handler() {
    return [this](std::int64_t copied, std::int64_t total) {
      std::lock_guard<std::mutex> lock(mu_);
      values_.push_back({copied, total});
      cv_.notify_all();
    };
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> values() {
    std::lock_guard<std::mutex> lock(mu_);
    return values_;
  }
  bool waitFor(const std::function<bool(const std::vector<std::pair<std::int64_t, std::int64_t>>&)>& done,
               std::chrono::milliseconds limit = 5s) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return done(values_); });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<std::int64_t, std::int64_t>> values_;
};

void expectMonotonicAndBounded(const std::vector<std::pair<std::int64_t, std::int64_t>>& v) {
  for (size_t i = 0; i < v.size(); ++i) {
    EXPECT_GE(v[i].first, 0);
    EXPECT_LE(v[i].first, v[i].second);
    if (i > 0) {
      EXPECT_GT(v[i].first, v[i - 1].first) << "report " << i;
    }
  }
}

class AppInstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::AppBundleSpec layout;
    layout.resources = {{"big.bin", 3 << 20}, {".hidden", 1000}};
    source = testing::writeAppBundle(dir / "src", "Demo.app", layout);
    target = dir / "Applications";
    fs::create_directories(target);
    options.privileged.temporaryDirectory = dir / "tmp";
    fs::create_directories(options.privileged.temporaryDirectory);
    options.privileged.pollInterval = 10ms;
    options.privilegedTimeLimit = 20;
    options.progressInterval = 20ms;
  }
  void elevation(const std::string& body) {
    options.privileged.elevationTool = dir / ("elevate-" + std::to_string(++tools));
    writeFile(options.privileged.elevationTool, "#!/bin/sh\n" + body + "\n", 0755);
  }
  void failDirectCopy() {
    options.directCopy = [](const fs::path& from, const fs::path& to) {
      copyTree(from, to);  // a partial copy is left behind, then it fails
      throw std::runtime_error("disk full");
    };
  }
  void installOldCopy() {
    fs::path old = target / "Demo.app";
    writeFile(old / "Contents/OLD", "previous version");
  }
  bool onlyDemoInTarget() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(target)) names.push_back(e.path().filename().string());
    return names == std::vector<std::string>{"Demo.app"};
  }
  AppInstallError expectError() {
    try {
      installApplication(source, target, {}, options);
    } catch (const AppInstallError& e) {
      return e;
    }
    ADD_FAILURE() << "no AppInstallError";
    return AppInstallError::copyFailed("");
  }

  TempDir dir;
  fs::path source, target;
  AppInstallerOptions options;
  int tools = 0;
};

TEST_F(AppInstallerTest, DirectCopyKeepsModesLinksAndReportsProgress) {
  Reports reports;
  fs::path installed = installApplication(source, target, reports.handler(), options);
  EXPECT_EQ(installed, target / "Demo.app");
  struct stat st;
  ASSERT_EQ(stat((installed / "Contents/MacOS/demo").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(fs::read_symlink(installed / "Contents/Current"), "MacOS");
  EXPECT_EQ(treeSize(installed), treeSize(source));
  EXPECT_TRUE(onlyDemoInTarget());

  auto v = reports.values();
  ASSERT_FALSE(v.empty());
  expectMonotonicAndBounded(v);
  EXPECT_EQ(v.back(), std::make_pair(*treeSize(source), *treeSize(source)));
}

TEST_F(AppInstallerTest, ReplacingSwapsTheNewCopyIn) {
  installOldCopy();
  installApplication(source, target, {}, options);
  EXPECT_FALSE(fs::exists(target / "Demo.app/Contents/OLD"));
  EXPECT_TRUE(fs::exists(target / "Demo.app/Contents/Resources/big.bin"));
  EXPECT_TRUE(onlyDemoInTarget());
}

TEST_F(AppInstallerTest, FailedCopiesLeaveTheInstalledApplicationAlone) {
  installOldCopy();
  failDirectCopy();
  elevation("exit 126");  // and the password dialog is dismissed
  EXPECT_EQ(expectError().kind(), AppInstallError::Case::authorizationCancelled);
  EXPECT_EQ(testing::readFile(target / "Demo.app/Contents/OLD"), "previous version");
  EXPECT_TRUE(onlyDemoInTarget());

  elevation("exit 127");
  auto refused = expectError();
  EXPECT_EQ(refused.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_STREQ(refused.what(), "AuthorizationExecuteWithPrivileges() failed with status -60005");

  // The privileged copy itself fails: the source is gone.
  elevation("exec \"$@\"");
  source = dir / "src/Missing.app";
  fs::create_directories(target / "Missing.app");
  writeFile(target / "Missing.app/KEEP", "kept");
  auto failed = expectError();
  EXPECT_EQ(failed.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_STREQ(failed.what(), "privileged copy exited with status 1");
  EXPECT_EQ(testing::readFile(target / "Missing.app/KEEP"), "kept");
  EXPECT_EQ(testing::readFile(target / "Demo.app/Contents/OLD"), "previous version");
  EXPECT_FALSE(fs::exists(stagingPathFor(target / "Missing.app")));
}

TEST_F(AppInstallerTest, PrivilegedCopyIntoADirectoryWithAQuote) {
  target = dir / "it's \"Apps\" $HOME";  // created by the script's mkdir -p
  failDirectCopy();
  elevation("exec \"$@\"");
  Reports reports;
  fs::path installed = installApplication(source, target, reports.handler(), options);
  EXPECT_EQ(installed, target / "Demo.app");
  EXPECT_EQ(fs::read_symlink(installed / "Contents/Current"), "MacOS");
  EXPECT_EQ(treeSize(installed), treeSize(source));
  EXPECT_TRUE(onlyDemoInTarget());
  auto v = reports.values();
  ASSERT_FALSE(v.empty());
  expectMonotonicAndBounded(v);
  EXPECT_EQ(v.back().first, v.back().second);

  // Replacing through the script swaps too.
  writeFile(installed / "Contents/OLD", "old");
  options.canWriteDirectly = [](const fs::path&) { return false; };
  installApplication(source, target, {}, options);
  EXPECT_FALSE(fs::exists(installed / "Contents/OLD"));
  EXPECT_TRUE(onlyDemoInTarget());
}

TEST_F(AppInstallerTest, PrivilegedCopyGuards) {
  try {
    copyPrivileged(source, "/", options);
    FAIL();
  } catch (const AppInstallError& e) {
    EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
    EXPECT_STREQ(e.what(), "refusing to replace /");
  }
  // A shell that reports success without copying anything.
  elevation("printf 'qx-privileged-started\\n'\nfile=${7##*'; echo $? > '}\neval \"echo 0 > $file\"");
  try {
    copyPrivileged(source, target / "Demo.app", options);
    FAIL();
  } catch (const AppInstallError& e) {
    EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
    EXPECT_EQ(e.description(), "copy did not produce " + (target / "Demo.app").string());
  }
}

TEST(AppInstallErrorTest, Descriptions) {
  EXPECT_STREQ(AppInstallError::targetRunning("Demo").what(), "Please exit the Demo before reinstalling.");
  EXPECT_STREQ(AppInstallError::authorizationCancelled().what(), "authorization was cancelled");
  EXPECT_STREQ(AppInstallError::permissionDenied("no").what(), "no");
}

// --- the progress watcher ---------------------------------------------------------

TEST(CopyProgressRuleTest, LowWaterMarkKeepsReportsMonotonic) {
  CopyProgressState s{.total = 100, .lowWater = 150, .reported = {}};
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 150), 0);  // first sample always reports
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 40), std::nullopt);  // old copy removed
  EXPECT_EQ(s.lowWater, 40);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 0), std::nullopt);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 30), 30);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 30), std::nullopt);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, std::nullopt), std::nullopt);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 500), 100);  // clamped to the total
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 600), std::nullopt);
}

TEST(CopyProgressWatcherTest, SamplesAGrowingDestinationThenFinishesOnce) {
  TempDir dir;
  writeFile(dir / "src/a", std::string(4000, 'a'));
  writeFile(dir / "src/b", std::string(6000, 'b'));
  fs::path dest = dir / "dest";
  Reports reports;
  auto watcher = CopyProgressWatcher::create(dir / "src", dest, reports.handler(), 10ms);
  ASSERT_TRUE(watcher);
  watcher->start();
  ASSERT_TRUE(reports.waitFor([](const auto& v) { return !v.empty(); }));
  using Report = std::pair<std::int64_t, std::int64_t>;
  EXPECT_EQ(reports.values().front(), Report(0, 10000));
  writeFile(dest / "a", std::string(4000, 'a'));
  ASSERT_TRUE(reports.waitFor([](const auto& v) { return v.back().first == 4000; }));
  watcher->finish();
  watcher->finish();  // nothing new to say
  watcher->stop();
  auto v = reports.values();
  expectMonotonicAndBounded(v);
  EXPECT_EQ(v.back(), Report(10000, 10000));
  size_t count = v.size();
  writeFile(dest / "b", std::string(6000, 'b'));
  EXPECT_FALSE(reports.waitFor([&](const auto& all) { return all.size() > count; }, 100ms));
  watcher.reset();
}

TEST(CopyProgressWatcherTest, NoWatcherWithoutHandlerOrSize) {
  TempDir dir;
  fs::create_directories(dir / "empty/Contents");
  Reports reports;
  EXPECT_FALSE(CopyProgressWatcher::create(dir / "empty", dir / "d", reports.handler()));
  EXPECT_FALSE(CopyProgressWatcher::create(dir / "missing", dir / "d", reports.handler()));
  writeFile(dir / "full/x", "x");
  EXPECT_FALSE(CopyProgressWatcher::create(dir / "full", dir / "d", {}));

  AppInstallerOptions options;
  fs::create_directories(dir / "apps");
  installApplication(dir / "empty", dir / "apps", reports.handler(), options);
  EXPECT_TRUE(fs::exists(dir / "apps/empty/Contents"));
  EXPECT_TRUE(reports.values().empty());
}

size_t threadCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

TEST(CopyProgressWatcherTest, ADroppedWatcherGoesQuietAndLeavesNoThread) {
  TempDir dir;
  writeFile(dir / "src/a", std::string(100, 'a'));
  Reports reports;
  const size_t threads = threadCount();
  for (int i = 0; i < 20; ++i) {
    auto watcher = CopyProgressWatcher::create(dir / "src", dir / "dest", reports.handler(), 1ms);
    // Read before starting: a first report may land before start() returns.
    const size_t seen = reports.values().size();
    watcher->start();
    if (i % 2 == 1) {  // dropped while its timer is armed, not only before the first sample
      ASSERT_TRUE(reports.waitFor([&](const auto& v) { return v.size() > seen; }));
    }
  }
  // Twenty watchers, twenty queue threads: none stays. (The process-wide
  // pool that lets a last hold go may have started its four workers.)
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (threadCount() > threads + 4 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_LE(threadCount(), threads + 4);
  size_t count = reports.values().size();
  writeFile(dir / "dest/a", std::string(100, 'a'));  // growth no watcher may report
  EXPECT_FALSE(reports.waitFor([&](const auto& v) { return v.size() > count; }, 100ms));
}

// --- trees -----------------------------------------------------------------------

TEST(TreeTest, SizeCountsRegularFilesOnly) {
  TempDir dir;
  EXPECT_EQ(treeSize(dir / "missing"), 0);
  writeFile(dir / "t/file", std::string(10, 'x'));
  writeFile(dir / "t/.hidden/deep", std::string(5, 'x'));
  fs::create_symlink("/etc/passwd", dir / "t/link");
  fs::create_symlink(dir / "t", dir / "t/loop");
  EXPECT_EQ(treeSize(dir / "t"), 15);
  EXPECT_EQ(treeSize(dir / "t/file"), 0);
}

TEST(TreeTest, CopyKeepsModesTimesAndLinksAndRefusesToOverwrite) {
  TempDir dir;
  writeFile(dir / "s/bin/tool", "#!/bin/sh\n", 0750);
  writeFile(dir / "s/ro", "r", 0444);
  fs::create_symlink("bin/tool", dir / "s/link");
  fs::create_symlink("/nonexistent", dir / "s/dangling");
  fs::last_write_time(dir / "s/ro", fs::file_time_type::clock::now() - 48h);
  fs::permissions(dir / "s/bin", fs::perms(0555));
  copyTree(dir / "s", dir / "d");
  EXPECT_EQ(fs::status(dir / "d/bin/tool").permissions(), fs::perms(0750));
  EXPECT_EQ(fs::status(dir / "d/bin").permissions(), fs::perms(0555));
  EXPECT_EQ(fs::last_write_time(dir / "d/ro"), fs::last_write_time(dir / "s/ro"));
  EXPECT_EQ(fs::read_symlink(dir / "d/link"), "bin/tool");
  EXPECT_EQ(fs::read_symlink(dir / "d/dangling"), "/nonexistent");
  EXPECT_THROW(copyTree(dir / "s", dir / "d"), fs::filesystem_error);
  EXPECT_THROW(copyTree(dir / "nothing", dir / "e"), fs::filesystem_error);
}

TEST(QuarantineTest, RunsXattrAndIgnoresFailures) {
  TempDir dir;
  PackageTools tools;
  tools.xattr = dir / "xattr";
  writeFile(tools.xattr, "#!/bin/sh\nprintf '%s|' \"$@\" > \"$(dirname \"$0\")/args\"\nexit 1\n", 0755);
  removeQuarantine(dir / "My App.app", tools);
  EXPECT_EQ(testing::readFile(dir / "args"), "-dr|com.apple.quarantine|" + (dir / "My App.app").string() + "|");
  tools.xattr = dir / "missing";
  removeQuarantine(dir / "My App.app", tools);
}

}  // namespace
}  // namespace installer
