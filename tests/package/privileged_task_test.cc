#include "package/privileged_task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "package/tool_runner.h"
#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;
using Clock = std::chrono::steady_clock;

// Fake elevation tools. The runner starts them as
//   TOOL /bin/sh -c WRAPPER qx-privileged /bin/sh -c COMMAND qx-privileged SCRIPT
constexpr char kGrant[] = "exec \"$@\"";
constexpr char kCancel[] = "exit 126";
constexpr char kNotAuthorized[] = "echo 'Not authorized' >&2; exit 127";
constexpr char kError[] = "echo 'Error executing command as another user' >&2; exit 1";
// Grants, then says `steps` instead of running the script.
std::string answers(const std::string& steps) { return "printf 'qx-privileged-started\\n'\n" + steps; }

bool processGone(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return true;
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

class PrivilegedTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "tmp");
    setenv("TMPDIR", (dir / "tmp").c_str(), 1);
  }
  void TearDown() override { unsetenv("TMPDIR"); }
  void useTool(const std::string& body) {
    options.elevationTool = dir / ("elevate-" + std::to_string(++tools));
    writeFile(options.elevationTool, "#!/bin/sh\n" + body + "\n", 0755);
  }
  bool tmpIsEmpty() { return fs::is_empty(dir / "tmp"); }

  PrivilegedTaskError expectError(const std::string& script, double limit) {
    try {
      runPrivilegedScript(script, limit, options);
    } catch (const PrivilegedTaskError& e) {
      return e;
    }
    ADD_FAILURE() << "no PrivilegedTaskError";
    return PrivilegedTaskError::timedOut();
  }

  TempDir dir;
  PrivilegedRunnerOptions options;
  int tools = 0;
};

TEST_F(PrivilegedTaskTest, GrantedScriptReturnsItsExitStatusOverThePipe) {
  useTool(kGrant);
  const fs::path ran = dir / "it's \"ran\" $HOME";
  EXPECT_EQ(runPrivilegedScript("echo noise; umask > " + shellQuote(ran.string()) + "; (exit 3)", 10, options), 3);
  EXPECT_EQ(testing::readFile(ran), "0022\n");
  // A status file planted where one used to be written counts for nothing.
  writeFile(dir / "tmp/qx-privileged-0.status", "0\n");
  EXPECT_EQ(runPrivilegedScript("exit 4", 10, options), 4);
  fs::remove(dir / "tmp/qx-privileged-0.status");
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(PrivilegedTaskTest, StatusLines) {
  useTool(answers("printf 'qx-privileged-status -7\\n'"));
  EXPECT_EQ(runPrivilegedScript("true", 10, options), -7);

  // Ended without a status.
  useTool(answers("exit 0"));
  EXPECT_EQ(runPrivilegedScript("true", 10, options), -1);

  // Never a number, or nothing at all while the pipe stays open: the
  // deadline holds.
  for (const char* steps : {"printf 'qx-privileged-status abc\\n'; sleep 5", "sleep 5"}) {
    useTool(answers(steps));
    auto start = Clock::now();
    auto e = expectError("true", 0.5);
    EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::timedOut);
    EXPECT_STREQ(e.what(), "privileged task timed out");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  }
}

TEST_F(PrivilegedTaskTest, CancelledDialog) {
  useTool(kCancel);
  auto e = expectError("touch " + (dir / "never").string(), 10);
  EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::authorizationCancelled);
  EXPECT_STREQ(e.what(), "authorization was cancelled");
  EXPECT_FALSE(fs::exists(dir / "never"));
}

TEST_F(PrivilegedTaskTest, RefusalsAreFailures) {
  for (const char* tool : {kNotAuthorized, kError}) {
    useTool(tool);
    auto e = expectError("true", 10);
    EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::authorizationFailed);
    EXPECT_EQ(e.status(), kPrivilegedStatusDenied);
    EXPECT_STREQ(e.what(), "AuthorizationExecuteWithPrivileges() failed with status -60005");
  }
  options.elevationTool = dir / "no-such-tool";
  EXPECT_EQ(expectError("true", 10).status(), kPrivilegedStatusToolExecuteFailure);
}

TEST_F(PrivilegedTaskTest, ATimedOutRootRunIsEnded) {
  useTool(kGrant);
  auto start = Clock::now();
  EXPECT_EQ(runPrivilegedCommand({"-c", "sleep 3"}, options), 0);  // never waits for the shell
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

  const fs::path pidFile = dir / "pid";
  start = Clock::now();
  auto e = expectError("sleep 30 & echo $! > " + shellQuote(pidFile.string()) + "; wait", 2);
  EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::timedOut);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  auto endsSoon = [&] {
    pid_t sleeper = std::stoi(testing::readFile(pidFile));
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!processGone(sleeper) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fs::remove(pidFile);
    return processGone(sleeper);
  };
  EXPECT_TRUE(endsSoon());

  // A root shell out of our reach (another group) ends itself.
  useTool("exec setsid \"$@\"");
  EXPECT_EQ(expectError("sleep 30 & echo $! > " + shellQuote(pidFile.string()) + "; wait", 1).kind(),
            PrivilegedTaskError::Case::timedOut);
  EXPECT_TRUE(endsSoon());

  // With no time at all there is no waiting.
  start = Clock::now();
  EXPECT_EQ(expectError("sleep 2", 0).kind(), PrivilegedTaskError::Case::timedOut);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST(ExecutePrivilegedTest, MissingToolPathIsAnInvalidReference) {
  EXPECT_EQ(execute_privileged(nullptr, nullptr, 0), kPrivilegedStatusInvalidRef);
  EXPECT_EQ(executePrivilegedWith("/bin/true", nullptr, nullptr, 0), kPrivilegedStatusInvalidRef);
}

TEST(StatusTextTest, ParsesSignedDecimalsOnly) {
  std::int32_t v = 99;
  EXPECT_TRUE(parseStatusText("0\n", v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(parseStatusText("  -12 \r\n", v));
  EXPECT_EQ(v, -12);
  EXPECT_TRUE(parseStatusText("+5", v));
  EXPECT_EQ(v, 5);
  EXPECT_TRUE(parseStatusText("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  for (const char* bad : {"", " \n", "abc", "1 2", "2147483648", "0x10", "-", "1.0"}) {
    EXPECT_FALSE(parseStatusText(bad, v)) << bad;
  }
}

}  // namespace
}  // namespace installer
