#include "package/running_apps.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Polls `condition` until it holds or `limit` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
  auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// A bundle whose script records its arguments, one per line, then runs
// until it is asked to stop.
fs::path recordingApp(const fs::path& parent, const std::string& id, const fs::path& record) {
  testing::AppBundleSpec layout;
  layout.identifier = id;
  layout.script = "#!/bin/sh\ntrap 'exit 0' TERM\n{ echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; } > '" +
                record.string() + ".tmp'\nmv '" + record.string() + ".tmp' '" + record.string() +
                "'\nwhile :; do sleep 0.05; done\n";
  return testing::writeAppBundle(parent, "Recorder.app", layout);
}

TEST(BundleOfExecutableTest, OnlyContentsMacOSCounts) {
  EXPECT_EQ(bundleOfExecutable("/x/A.app/Contents/MacOS/a"), fs::path("/x/A.app"));
  EXPECT_EQ(bundleOfExecutable("/x/A.app/Contents/a"), std::nullopt);
  EXPECT_EQ(bundleOfExecutable("/x/A/Contents/MacOS/a"), std::nullopt);
  EXPECT_EQ(bundleOfExecutable("/usr/bin/sh"), std::nullopt);
}

TEST(LaunchTest, PassesStartUpArgumentsIntactAndIsFoundRunning) {
  TempDir dir;
  fs::path record = dir / "args";
  fs::path app = recordingApp(dir.path(), "com.example.recorder", record);
  const std::string text = "a b 'c' \"d\" $HOME";
  ASSERT_TRUE(launchApplication(app, text));
  ASSERT_TRUE(eventually([&] { return fs::exists(record); }));
  EXPECT_EQ(testing::readFile(record), "2\n--StartUpArgs\n" + text + "\n");

  // A script: found through its interpreter's first argument.
  std::optional<RunningApplication> running;
  ASSERT_TRUE(eventually([&] { return (running = runningTarget("com.example.recorder")).has_value(); }));
  EXPECT_EQ(running->bundleURL, app);
  EXPECT_EQ(running->bundleIdentifier, "com.example.recorder");
  EXPECT_NE(running->processIdentifier, getpid());
  EXPECT_EQ(getsid(running->processIdentifier), running->processIdentifier);  // own session
  // Excluding the instance never returns it. (Another match is possible for
  // a moment: a child the script forks looks like the script until it execs.)
  auto other = runningTarget("com.example.recorder", running->processIdentifier);
  EXPECT_TRUE(!other || other->processIdentifier != running->processIdentifier);
  EXPECT_EQ(runningTarget("com.example.other"), std::nullopt);
  EXPECT_EQ(runningTarget(""), std::nullopt);
  // Seen from another user, it is none of theirs.
  EXPECT_EQ(runningTarget("com.example.recorder", getpid(), getuid() + 1), std::nullopt);

  ASSERT_TRUE(running->terminate());
  EXPECT_TRUE(eventually([&] { return !running->isRunning(); }));
  EXPECT_TRUE(eventually([] { return !runningTarget("com.example.recorder"); }));
}

TEST(LaunchTest, WithoutStartUpArgumentsNoArgumentsAtAll) {
  TempDir dir;
  fs::path record = dir / "args";
  fs::path app = recordingApp(dir.path(), "com.example.noargs", record);
  ASSERT_TRUE(launchApplication(app, ""));
  ASSERT_TRUE(eventually([&] { return fs::exists(record); }));
  EXPECT_EQ(testing::readFile(record), "0\n");
  auto running = runningTarget("com.example.noargs");
  ASSERT_TRUE(running);
  running->terminate();
  EXPECT_TRUE(eventually([&] { return !running->isRunning(); }));
}

TEST(LaunchTest, AProgramInTheBundleIsFoundByItsExecutable) {
  TempDir dir;
  testing::AppBundleSpec layout;
  layout.identifier = "com.example.binary";
  layout.executable = "sleeper";
  fs::path app = testing::writeAppBundle(dir.path(), "Binary.app", layout);
  fs::copy_file("/bin/sleep", app / "Contents/MacOS/sleeper", fs::copy_options::overwrite_existing);
  // `sleep` would reject "--StartUpArgs"; start the program directly.
  pid_t pid = fork();
  if (pid == 0) {
    execl((app / "Contents/MacOS/sleeper").c_str(), "sleeper", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::optional<RunningApplication> running;
  ASSERT_TRUE(eventually([&] {
    running = runningTarget("com.example.binary");
    return running && running->processIdentifier == pid;
  }));
  EXPECT_TRUE(running->terminate());
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

TEST(LaunchTest, ABundleWithoutExecutableIsNotLaunched) {
  TempDir dir;
  testing::writeInfoPlist(dir / "Empty.app/Contents/Info.plist", {{"CFBundleIdentifier", "x"}});
  EXPECT_FALSE(launchApplication(dir / "Empty.app", "x"));
  EXPECT_FALSE(launchApplication(dir / "Missing.app", ""));
  testing::writeInfoPlist(dir / "Gone.app/Contents/Info.plist", {{"CFBundleExecutable", "nothing"}});
  EXPECT_FALSE(launchApplication(dir / "Gone.app", ""));
}

}  // namespace
}  // namespace installer
