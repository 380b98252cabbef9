#include "package/tool_runner.h"

#include <gtest/gtest.h>

#include <system_error>

#include "support/package_fixtures.h"

namespace installer {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(RunToolTest, JoinsBothStreamsInOrderAndReturnsTheStatus) {
  auto r = runTool("/bin/sh", {"-c", "echo out; echo err >&2; echo again; exit 7"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.output, "out\nerr\nagain\n");
}

TEST(RunToolTest, PassesArgumentsWithoutAShell) {
  auto r = runTool("/bin/echo", {"a b", "'q'", "$HOME", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "a b 'q' $HOME *\n");
}

TEST(RunToolTest, ReadsLargeOutputToItsEnd) {
  // More than a pipe buffer: the reader must drain before waiting.
  auto r = runTool("/bin/sh", {"-c", "head -c 300000 /dev/zero | tr '\\0' x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output.size(), 300000u);
}

TEST(RunToolTest, OutputThatIsNotUTF8BecomesEmpty) {
  auto r = runTool("/usr/bin/printf", {"ok \\377\\376"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(runTool("/usr/bin/printf", {"gr\\303\\274n"}).output, "gr\xC3\xBCn");
}

TEST(RunToolTest, AKilledToolReportsANonZeroStatus) {
  auto r = runTool("/bin/sh", {"-c", "kill -9 $$"});
  EXPECT_EQ(r.status, 128 + 9);
}

TEST(RunToolTest, StartFailureIsPassedUp) {
  TempDir dir;
  writeFile(dir / "not-executable", "#!/bin/sh\n", 0644);
  EXPECT_THROW(runTool(dir / "missing", {}), std::system_error);
  try {
    runTool(dir / "not-executable", {});
    FAIL() << "expected a start failure";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EACCES);
    EXPECT_NE(std::string(e.what()).find("not-executable"), std::string::npos);
  }
}

TEST(ShellQuoteTest, TheShellReadsQuotedTextBackUnchanged) {
  for (std::string text : {"plain", "it's", "'", "''a'b'", "$HOME `x` \"q\" \\n", "tab\tnew\nline", ""}) {
    auto r = runTool("/bin/sh", {"-c", "printf %s " + shellQuote(text)});
    EXPECT_EQ(r.output, text);
  }
  EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
}

TEST(UTF8Test, RejectsMalformedSequences) {
  EXPECT_TRUE(isValidUTF8("ascii \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_FALSE(isValidUTF8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(isValidUTF8("\xE2\x82"));          // truncated
  EXPECT_FALSE(isValidUTF8("\xF4\x90\x80\x80"));  // past U+10FFFF
}

}  // namespace
}  // namespace installer
