#include "package/privileged_task.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;
using Clock = std::chrono::steady_clock;

// Fake elevation tools. The runner starts them as
//   TOOL /bin/sh -c WRAPPER qx-privileged /bin/sh -c COMMAND
// where COMMAND ends in "; echo $? > '<status file>'".
constexpr char kGrant[] = "exec \"$@\"";
constexpr char kCancel[] = "exit 126";
constexpr char kNotAuthorized[] = "echo 'Not authorized' >&2; exit 127";
constexpr char kError[] = "echo 'Error executing command as another user' >&2; exit 1";
// Grants, then writes its own status text instead of running the script.
std::string writesStatus(const std::string& steps) {
  return "printf 'qx-privileged-started\\n'\n"
         "file=${7##*'; echo $? > '}\n" + steps;
}

class PrivilegedTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options.temporaryDirectory = dir / "tmp";
    fs::create_directories(options.temporaryDirectory);
    options.pollInterval = std::chrono::milliseconds(10);
  }
  void useTool(const std::string& body) {
    options.elevationTool = dir / ("elevate-" + std::to_string(++tools));
    writeFile(options.elevationTool, "#!/bin/sh\n" + body + "\n", 0755);
  }
  bool tmpIsEmpty() { return fs::is_empty(options.temporaryDirectory); }

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

TEST_F(PrivilegedTaskTest, GrantedScriptReturnsItsExitStatusAndRemovesTheStatusFile) {
  useTool(kGrant);
  EXPECT_EQ(runPrivilegedScript("echo ran > " + (dir / "ran").string() + "; (exit 3)", 10, options), 3);
  EXPECT_EQ(testing::readFile(dir / "ran"), "ran\n");
  EXPECT_EQ(runPrivilegedScript("true", 10, options), 0);
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(PrivilegedTaskTest, TemporaryDirectoryWithASingleQuote) {
  options.temporaryDirectory = dir / "it's \"tmp\" $HOME";
  fs::create_directories(options.temporaryDirectory);
  useTool(kGrant);
  EXPECT_EQ(runPrivilegedScript("(exit 4)", 10, options), 4);
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(PrivilegedTaskTest, StatusFileContents) {
  useTool(writesStatus("eval \"echo -7 > $file\""));
  EXPECT_EQ(runPrivilegedScript("true", 10, options), -7);

  // Opened but still empty at the first look: read again later.
  useTool(writesStatus("eval \": > $file\"; sleep 0.3; eval \"echo 0 > $file\""));
  EXPECT_EQ(runPrivilegedScript("true", 10, options), 0);

  // Never a number: polled until the deadline, then removed.
  useTool(writesStatus("eval \"echo abc > $file\""));
  auto e = expectError("true", 0.5);
  EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::timedOut);
  EXPECT_STREQ(e.what(), "privileged task timed out");
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(PrivilegedTaskTest, CancelledDialog) {
  useTool(kCancel);
  auto e = expectError("touch " + (dir / "never").string(), 10);
  EXPECT_EQ(e.kind(), PrivilegedTaskError::Case::authorizationCancelled);
  EXPECT_STREQ(e.what(), "authorization was cancelled");
  EXPECT_FALSE(fs::exists(dir / "never"));
  EXPECT_TRUE(tmpIsEmpty());
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

TEST_F(PrivilegedTaskTest, TheRunnerNeverWaitsForTheShell) {
  useTool(kGrant);
  auto start = Clock::now();
  EXPECT_EQ(runPrivilegedCommand({"-c", "sleep 3"}, options), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

  // A shell that does not finish in time.
  start = Clock::now();
  EXPECT_EQ(expectError("sleep 3", 0.3).kind(), PrivilegedTaskError::Case::timedOut);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

  // With no time at all the file is never read.
  start = Clock::now();
  EXPECT_EQ(expectError("exit 0", 0).kind(), PrivilegedTaskError::Case::timedOut);
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
