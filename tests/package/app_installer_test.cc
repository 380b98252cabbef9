#include "package/app_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool existsNoFollow(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

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

std::string modeOf(const fs::path& p) {
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return "missing";
  char text[8];
  std::snprintf(text, sizeof text, "%04o", st.st_mode & 07777);
  return text;
}

class AppInstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::AppBundleSpec layout;
    layout.resources = {{"big.bin", 3 << 20}, {".hidden", 1000}};
    source = testing::writeAppBundle(dir / "src", "Demo.app", layout);
    target = dir / "Applications";
    fs::create_directories(target);
    options.privilegedTimeLimit = 20;
    options.progressInterval = 20ms;
    // Tests are not root: the folders they own count as root's, below the
    // test's own directory, and the copy goes to a user a test can see.
    const fs::path top = dir.path();
    options.elevationGuard = [top](const fs::path& d) { return elevationRefusal(d, geteuid(), top); };
    owner = geteuid() == 0 ? std::pair<uid_t, gid_t>{1, 1} : std::pair<uid_t, gid_t>{geteuid(), getegid()};
    options.privilegedOwner = std::to_string(owner.first) + ":" + std::to_string(owner.second);
    options.systemDataDirectory = dir / "share";
  }
  // Makes the install folder one the user cannot write, elevated through
  // a fake pkexec with `body`.
  void elevation(const std::string& body = "exec \"$@\"") {
    options.canWriteDirectly = [](const fs::path&) { return false; };
    options.privileged.elevationTool = dir / ("elevate-" + std::to_string(++tools));
    writeFile(options.privileged.elevationTool, "#!/bin/sh\n" + body + "\n", 0755);
  }
  void installOldCopy() { writeFile(target / "Demo.app/Contents/OLD", "previous version"); }
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
  // The root script run directly, past the installer's own checks.
  std::int32_t runScript(const fs::path& from, const fs::path& to) {
    return runPrivilegedScript(
        privilegedCopyScript(from, to, options.privilegedOwner, {}, options.systemDataDirectory), 20,
        options.privileged);
  }

  TempDir dir;
  fs::path source, target;
  AppInstallerOptions options;
  std::pair<uid_t, gid_t> owner;
  int tools = 0;
};

TEST_F(AppInstallerTest, DirectCopyKeepsLinksAndReportsProgress) {
  Reports reports;
  fs::path installed = installApplication(source, target, reports.handler(), options);
  EXPECT_EQ(installed, target / "Demo.app");
  EXPECT_EQ(modeOf(installed / "Contents/MacOS/demo"), "0755");
  EXPECT_EQ(fs::read_symlink(installed / "Contents/Current"), "MacOS");
  EXPECT_EQ(treeSize(installed), treeSize(source));
  EXPECT_TRUE(onlyDemoInTarget());

  auto v = reports.values();
  ASSERT_FALSE(v.empty());
  expectMonotonicAndBounded(v);
  EXPECT_EQ(v.back(), std::make_pair(*treeSize(source), *treeSize(source)));
}

TEST_F(AppInstallerTest, ReplacingSwapsTheNewCopyIn) {
  for (bool privileged : {false, true}) {
    if (privileged) elevation();
    installOldCopy();
    installApplication(source, target, {}, options);
    EXPECT_FALSE(fs::exists(target / "Demo.app/Contents/OLD")) << privileged;
    EXPECT_TRUE(fs::exists(target / "Demo.app/Contents/Resources/big.bin")) << privileged;
    EXPECT_TRUE(onlyDemoInTarget()) << privileged;
  }
}

TEST_F(AppInstallerTest, AFailedDirectCopyIsTheFailureAndNoElevation) {
  installOldCopy();
  options.directCopy = [](const fs::path& from, const fs::path& to) {
    copyTree(from, to);  // a partial copy is left behind, then it fails
    throw std::runtime_error("disk full");
  };
  options.privileged.elevationTool = dir / "elevate";
  writeFile(options.privileged.elevationTool, "#!/bin/sh\ntouch \"$0.ran\"\nexec \"$@\"\n", 0755);
  auto e = expectError();
  EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
  EXPECT_STREQ(e.what(), "disk full");
  EXPECT_FALSE(fs::exists(dir / "elevate.ran"));
  EXPECT_EQ(testing::readFile(target / "Demo.app/Contents/OLD"), "previous version");
  EXPECT_TRUE(onlyDemoInTarget());
}

TEST_F(AppInstallerTest, FailedPrivilegedCopiesLeaveTheInstalledApplicationAlone) {
  installOldCopy();
  elevation("exit 126");  // the password dialog is dismissed
  EXPECT_EQ(expectError().kind(), AppInstallError::Case::authorizationCancelled);

  elevation("exit 127");
  auto refused = expectError();
  EXPECT_EQ(refused.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_STREQ(refused.what(), "AuthorizationExecuteWithPrivileges() failed with status -60005");

  elevation();  // the copy itself fails: a FIFO has no place in a bundle
  ASSERT_EQ(mkfifo((source / "Contents/pipe").c_str(), 0644), 0);
  auto failed = expectError();
  EXPECT_EQ(failed.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_STREQ(failed.what(), "privileged copy exited with status 5");
  EXPECT_EQ(testing::readFile(target / "Demo.app/Contents/OLD"), "previous version");
  EXPECT_TRUE(onlyDemoInTarget());
}

TEST_F(AppInstallerTest, PrivilegedCopyIntoADirectoryWithAQuote) {
  target = dir / "it's \"Apps\" $HOME";  // created by the script's mkdir -p
  elevation();
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
}

// Hostile sources and destinations, through the fake elevation tool.

TEST_F(AppInstallerTest, SpecialModesInstallAsPlainOnes) {
  writeFile(source / "Contents/MacOS/suid", "x", 04755);
  writeFile(source / "Contents/private", "x", 0600);
  writeFile(source / "Contents/shared", "x", 0666);
  fs::create_directories(source / "Contents/open");
  fs::permissions(source / "Contents/open", fs::perms(01777));
  fs::create_directories(source / "Contents/setgid");
  fs::permissions(source / "Contents/setgid", fs::perms(02770));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Contents/MacOS/suid", "0755"}, {"Contents/private", "0644"}, {"Contents/shared", "0644"},
      {"Contents/open", "0755"},       {"Contents/setgid", "0755"}, {"", "0755"}};
  for (bool privileged : {false, true}) {
    if (privileged) elevation();
    fs::path installed = installApplication(source, target, {}, options);
    for (const auto& [name, mode] : expected) {
      EXPECT_EQ(modeOf(name.empty() ? installed : installed / name), mode) << name << " " << privileged;
    }
  }
  struct stat st;
  ASSERT_EQ(lstat((target / "Demo.app/Contents/MacOS/suid").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, owner.first);
  EXPECT_EQ(st.st_gid, owner.second);
}

TEST_F(AppInstallerTest, ALinkedSourceChangesNothingOutside) {
  fs::path outside = dir / "outside";
  writeFile(outside / "secret", "s", 0600);
  fs::permissions(outside, fs::perms(0700));
  fs::path link = dir / "src/Evil.app";
  fs::create_symlink(outside, link);
  elevation();
  EXPECT_EQ(runScript(link, target / "Evil.app"), 2);  // the root script's own check
  source = link;
  for (bool privileged : {false, true}) {
    if (privileged) elevation();
    auto e = expectError();
    EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed) << privileged;
  }
  EXPECT_EQ(modeOf(outside), "0700");
  EXPECT_EQ(modeOf(outside / "secret"), "0600");
  EXPECT_FALSE(existsNoFollow(target / "Evil.app"));
}

TEST_F(AppInstallerTest, PlantedLinksChangeNothingOutsideTheTarget) {
  fs::path victim = dir / "victim";
  writeFile(victim / "keep", "kept", 0600);
  fs::permissions(victim, fs::perms(0700));
  for (bool privileged : {false, true}) {
    if (privileged) elevation();
    fs::remove_all(target);
    fs::create_directories(target);
    fs::create_symlink(victim, target / "Demo.app");
    fs::create_symlink(victim, target / ".Demo.app.qx-staging");
    fs::create_symlink(victim, target / ".qx-stage-XXXXXXXXXX");
    fs::path installed = installApplication(source, target, {}, options);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(installed))) << privileged;
    EXPECT_EQ(testing::readFile(victim / "keep"), "kept");
    EXPECT_EQ(modeOf(victim), "0700");
    EXPECT_EQ(modeOf(victim / "keep"), "0600");
    EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 1);
  }
}

TEST_F(AppInstallerTest, RootFilesAreNotWorldWritableWhateverTheUmask) {
  target = dir / "new/Apps";
  elevation();
  mode_t saved = umask(0);
  installApplication(source, target, {}, options);
  umask(saved);
  EXPECT_EQ(modeOf(dir / "new"), "0755");
  EXPECT_EQ(modeOf(target), "0755");
}

TEST_F(AppInstallerTest, InstallFoldersAreCheckedFirst) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"Applications", "not an absolute path"},
      {"-rf", "not an absolute path"},
      {"/opt/../etc", "contains \"..\""},
      {"/opt/./apps", "not a normalised path"},
      {"/opt//apps", "not a normalised path"},
      {"/opt/a\npps", "contains a control character"},
  };
  elevation("touch \"$0.ran\"; exec \"$@\"");
  for (const auto& [folder, why] : refused) {
    target = folder;
    auto e = expectError();
    EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
    EXPECT_EQ(e.description(), "refusing to install into " + folder + ": " + why);
  }
  // Writable by others: no elevation asked for.
  target = dir / "shared";
  fs::create_directories(target);
  fs::permissions(target, fs::perms(0777));
  auto e = expectError();
  EXPECT_EQ(e.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_EQ(e.description(), "refusing to ask for administrator rights: " + target.string() +
                                 " is writable by users other than root");
  EXPECT_FALSE(fs::exists(options.privileged.elevationTool.string() + ".ran"));
}

TEST(ElevationRefusalTest, FoldersOthersCanChange) {
  TempDir dir;
  fs::path inner = dir / "a/b";
  fs::create_directories(inner);
  EXPECT_EQ(elevationRefusal(inner / "not/yet", geteuid(), dir.path()), std::nullopt);
  for (auto mode : {fs::perms(0777), fs::perms(01777), fs::perms(0757)}) {
    fs::permissions(dir / "a", mode);
    EXPECT_EQ(elevationRefusal(inner / "not/yet", geteuid(), dir.path()),
              (dir / "a").string() + " is writable by users other than root");
  }
  fs::permissions(dir / "a", fs::perms(0755));
  fs::create_directories(dir / "open/real");
  fs::permissions(dir / "open", fs::perms(0777));
  fs::create_symlink(dir / "open/real", dir / "a/link");  // leads through an open folder
  EXPECT_NE(elevationRefusal(dir / "a/link", geteuid(), dir.path()), std::nullopt);
  EXPECT_NE(elevationRefusal("/tmp/x", 0), std::nullopt);
  EXPECT_EQ(elevationRefusal("/usr/local/bin", 0), std::nullopt);
}

// A writer that lays out an entry, an icon and what the script must not take.
std::optional<DesktopEntryFiles> fakeEntry(const fs::path& bundle, const fs::path& dataDir,
                                           std::vector<std::pair<fs::path, fs::path>>& calls) {
  calls.emplace_back(bundle, dataDir);
  writeFile(dataDir / "applications/com.example.demo.desktop", "[Desktop Entry]\n", 0600);
  writeFile(dataDir / "applications/bad name.desktop", "x");
  writeFile(dataDir / "icons/hicolor/64x64/apps/com.example.demo.png", "png", 0600);
  writeFile(dataDir / "icons/hicolor/huge/apps/com.example.demo.png", "png");
  return DesktopEntryFiles{"com.example.demo", dataDir / "applications/com.example.demo.desktop", {}};
}

TEST_F(AppInstallerTest, DesktopEntryFollowsOnlyASuccessfulInstall) {
  std::vector<std::pair<fs::path, fs::path>> calls;
  options.desktopEntryWriter = [&](const fs::path& b, const fs::path& d) { return fakeEntry(b, d, calls); };
  options.userDataDirectory = dir / "data";
  installApplication(source, target, {}, options);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], std::make_pair(target / "Demo.app", dir / "data"));

  // A system install: staged as the user, installed by the script.
  elevation();
  installApplication(source, target, {}, options);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].first, target / "Demo.app");
  EXPECT_FALSE(fs::exists(calls[1].second));  // the staging folder is gone
  fs::path share = options.systemDataDirectory;
  EXPECT_EQ(modeOf(share / "applications/com.example.demo.desktop"), "0644");
  EXPECT_EQ(modeOf(share / "icons/hicolor/64x64/apps/com.example.demo.png"), "0644");
  EXPECT_FALSE(fs::exists(share / "applications/bad name.desktop"));
  EXPECT_FALSE(fs::exists(share / "icons/hicolor/huge"));

  // A staged link makes the script take nothing.
  fs::remove_all(share);
  options.desktopEntryWriter = [&](const fs::path& b, const fs::path& d) {
    auto files = fakeEntry(b, d, calls);
    fs::create_symlink("/etc/passwd", d / "applications/passwd.desktop");
    return files;
  };
  installApplication(source, target, {}, options);
  EXPECT_FALSE(fs::exists(share / "applications"));

  // No entry after a failure; a failing writer fails nothing.
  elevation("exit 126");
  calls.clear();
  EXPECT_EQ(expectError().kind(), AppInstallError::Case::authorizationCancelled);
  options.canWriteDirectly = {};
  source = dir / "src/Missing.app";
  EXPECT_EQ(expectError().kind(), AppInstallError::Case::copyFailed);
  EXPECT_TRUE(calls.empty());
  source = dir / "src/Demo.app";
  options.desktopEntryWriter = [](const fs::path&, const fs::path&) -> std::optional<DesktopEntryFiles> {
    throw fs::filesystem_error("write", std::make_error_code(std::errc::no_space_on_device));
  };
  EXPECT_EQ(installApplication(source, target, {}, options), target / "Demo.app");
}

TEST_F(AppInstallerTest, PrivilegedCopyGuards) {
  try {
    copyPrivileged(source, "/", options);
    FAIL();
  } catch (const AppInstallError& e) {
    EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
    EXPECT_STREQ(e.what(), "refusing to replace /");
  }
  // A shell that reports success without copying anything, or with a link.
  elevation("printf 'qx-privileged-started\\nqx-privileged-status 0\\n'");
  for (bool link : {false, true}) {
    if (link) fs::create_symlink(source, target / "Demo.app");
    try {
      copyPrivileged(source, target / "Demo.app", options);
      FAIL();
    } catch (const AppInstallError& e) {
      EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
      EXPECT_EQ(e.description(), "copy did not produce " + (target / "Demo.app").string());
    }
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
  // A first report already on its way may still land; the growth may not.
  writeFile(dir / "dest/a", std::string(100, 'a'));
  EXPECT_FALSE(reports.waitFor(
      [](const auto& v) { return std::any_of(v.begin(), v.end(), [](const auto& r) { return r.first > 0; }); },
      100ms));
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
