#include "telemetry/crash_reporter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

#include "run_status/install_types.h"

namespace installer {
namespace {

struct CustomError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::exception_ptr capture(const std::function<void()>& thrower) {
  try {
    thrower();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

TEST(CrashReporterTest, DescribesTypeAndReason) {
  EXPECT_EQ(CrashReporter::describe(capture([] { throw std::runtime_error("boom"); })),
            "std::runtime_error: boom");
  EXPECT_EQ(CrashReporter::describe(capture([] { throw CustomError("bad"); })),
            "installer::(anonymous namespace)::CustomError: bad");
  EXPECT_EQ(CrashReporter::describe(capture([] { throw FailureBox(failure::cancelled{}); })),
            "installer::FailureBox: cancelled");
  EXPECT_EQ(CrashReporter::describe(capture([] { throw 42; })), "int: ");
  EXPECT_EQ(CrashReporter::describe(capture([] { throw std::string("text"); })),
            "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >: ");
  EXPECT_EQ(CrashReporter::describe(nullptr), "");
}

TEST(CrashReporterTest, HandleExceptionReportsPathAndError) {
  std::vector<std::pair<std::string, std::string>> events;
  Reporter reporter([&](const std::string& n, const std::string& a) { events.emplace_back(n, a); });
  CrashReporter crash(reporter);

  crash.handleException(capture([] { throw std::logic_error("no path yet"); }));
  crash.setInstallDirectory("/Applications");
  EXPECT_EQ(crash.installDirectory(), "/Applications");
  crash.handleException(capture([] { throw std::out_of_range("index"); }));
  crash.handleException(nullptr);

  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].first, "InstallFailedInfo");
  EXPECT_EQ(events[0].second, R"({"msg":{"error":"std::logic_error: no path yet","path":""}})");
  EXPECT_EQ(events[1].second,
            R"({"msg":{"error":"std::out_of_range: index","path":"/Applications"}})");
}

// The child writes what the sink receives to stderr, where the death test
// looks for it.
void crashWith(const std::function<void()>& body, bool withHook) {
  static Reporter reporter([](const std::string& name, const std::string& attributes) {
    std::fprintf(stderr, "sink %s %s\n", name.c_str(), attributes.c_str());
  });
  static CrashReporter crash(reporter);
  crash.setInstallDirectory("/opt/Apps");
  if (withHook) crash.setBeforeAbort([] { std::fprintf(stderr, "flushed\n"); });
  crash.install();
  body();
}

TEST(CrashReporterDeathTest, UncaughtExceptionOnAThreadIsReportedThenAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(crashWith(
                   [] {
                     std::thread([] { throw std::runtime_error("boom"); }).join();
                   },
                   true),
               "sink InstallFailedInfo .*\"error\":\"std::runtime_error: boom\","
               "\"path\":\"/opt/Apps\".*\n(.*\n)*flushed");
}

[[noreturn]] void raise() { throw CustomError("escaped"); }
void throwsThroughNoexcept() noexcept { raise(); }

TEST(CrashReporterDeathTest, NoexceptBoundaryIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(crashWith([] { throwsThroughNoexcept(); }, false),
               "sink InstallFailedInfo .*CustomError: escaped");
}

TEST(CrashReporterDeathTest, TerminateWithoutAnExceptionAbortsWithoutReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        crashWith([] { std::fprintf(stderr, "before\n"); }, false);
        std::terminate();
      },
      "^before\n$");
}

}  // namespace
}  // namespace installer
