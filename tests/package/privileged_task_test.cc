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

// Fake elevation tools. The runner starts them as TOOL PROGRAM ARGUMENTS...
constexpr char kGrant[] = "exec \"$@\"";
constexpr char kCancel[] = "exit 126";
constexpr char kNotAuthorized[] = "echo 'Not authorized' >&2; exit 127";
constexpr char kError[] = "echo 'Error executing command as another user' >&2; exit 1";

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
  // A privileged program that says it started, then does `steps`.
  fs::path program(const std::string& steps) {
    fs::path p = dir / ("program-" + std::to_string(++tools));
    writeFile(p, "#!/bin/sh\nprintf 'qx-privileged-started\\n'\n" + steps + "\n", 0755);
    return p;
  }
  bool tmpIsEmpty() { return fs::is_empty(dir / "tmp"); }

  PrivilegedTaskError expectError(const fs::path& tool, double limit) {
    try {
      runPrivilegedTool(tool, {}, limit, options);
    } catch (const PrivilegedTaskError& e) {
      return e;
    }
    ADD_FAILURE() << "no PrivilegedTaskError";
    return PrivilegedTaskError::timedOut();
  }
  bool endsSoon(const fs::path& pidFile) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!fs::exists(pidFile) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pid_t pid = std::stoi(testing::readFile(pidFile));
    while (!processGone(pid) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return processGone(pid);
  }

  TempDir dir;
  PrivilegedRunnerOptions options;
  int tools = 0;
};

TEST_F(PrivilegedTaskTest, GrantedToolReturnsItsStatusAndMessagesOverThePipe) {
  useTool(kGrant);
  const fs::path ran = dir / "it's \"ran\" $HOME";
  std::vector<std::string> messages;
  auto tool = program("printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\necho working\nprintf 'qx-privileged-status 3\\n'");
  EXPECT_EQ(runPrivilegedTool(tool, {"a b", ran.string()}, 10, options,
                              [&](const std::string& m) { messages.push_back(m); }),
            3);
  EXPECT_EQ(testing::readFile(dir / "args"), "a b\n" + ran.string() + "\n");
  EXPECT_EQ(messages, std::vector<std::string>{"working"});
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(PrivilegedTaskTest, StatusLines) {
  useTool(kGrant);
  EXPECT_EQ(runPrivilegedTool(program("printf 'qx-privileged-status -7\\n'"), {}, 10, options), -7);
  EXPECT_EQ(runPrivilegedTool(program("exit 0"), {}, 10, options), -1);  // ended without a status

  // Never a number, or nothing at all while the pipe stays open: the
  // deadline holds.
  for (const char* steps : {"printf 'qx-privileged-status abc\\n'; sleep 5", "sleep 5"}) {
    auto start = Clock::now();
    auto e = expectError(program(steps), 0.5);
    EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::timedOut);
    EXPECT_STREQ(e.what(), "privileged task timed out");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  }
  // A program that never says it started is no privileged program of ours.
  fs::path silent = dir / "silent";
  writeFile(silent, "#!/bin/sh\necho hello\n", 0755);
  EXPECT_EQ(expectError(silent, 10).kind(), PrivilegedTaskError::Case::authorizationFailed);
}

TEST_F(PrivilegedTaskTest, CancelledDialog) {
  useTool(kCancel);
  auto e = expectError(program("touch " + shellQuote((dir / "never").string())), 10);
  EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::authorizationCancelled);
  EXPECT_STREQ(e.what(), "authorization was cancelled");
  EXPECT_FALSE(fs::exists(dir / "never"));
}

TEST_F(PrivilegedTaskTest, RefusalsAreFailures) {
  for (const char* tool : {kNotAuthorized, kError}) {
    useTool(tool);
    auto e = expectError(program("exit 0"), 10);
    EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::authorizationFailed);
    EXPECT_EQ(e.status(), kPrivilegedStatusDenied);
    EXPECT_STREQ(e.what(), "AuthorizationExecuteWithPrivileges() failed with status -60005");
  }
  options.elevationTool = dir / "no-such-tool";
  EXPECT_EQ(expectError(program("exit 0"), 10).status(), kPrivilegedStatusToolExecuteFailure);
}

TEST_F(PrivilegedTaskTest, ThePromptHasItsOwnWait) {
  // A slow prompt does not eat into the program's time.
  useTool("sleep 1; exec \"$@\"");
  EXPECT_EQ(runPrivilegedTool(program("printf 'qx-privileged-status 0\\n'"), {}, 0.5, options), 0);

  // A prompt nobody answers ends at its own limit, the dialog with it.
  const fs::path pidFile = dir / "prompt.pid";
  useTool("echo $$ > " + shellQuote(pidFile.string()) + "; exec sleep 30");
  options.promptLimit = 0.3;
  auto start = Clock::now();
  EXPECT_EQ(expectError(program("exit 0"), 10).kind(), PrivilegedTaskError::Case::timedOut);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(endsSoon(pidFile));
}

TEST_F(PrivilegedTaskTest, ATimedOutProgramIsEndedWhereAllowed) {
  useTool(kGrant);
  const fs::path pidFile = dir / "pid";
  auto start = Clock::now();
  auto e = expectError(program("sleep 30 & echo $! > " + shellQuote(pidFile.string()) + "; wait"), 1);
  EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::timedOut);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(endsSoon(pidFile));

  // With no time at all there is no waiting.
  start = Clock::now();
  EXPECT_EQ(expectError(program("sleep 2"), 0).kind(), PrivilegedTaskError::Case::timedOut);
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
