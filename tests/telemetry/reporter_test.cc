#include "telemetry/reporter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_info.h"
#include "telemetry/crash_reporter.h"
#include "telemetry/launch_event.h"

namespace installer {
namespace {

struct Recorded {
  std::mutex mu;
  std::vector<std::pair<std::string, std::string>> events;

  Reporter::Sink sink() {
    return [this](const std::string& name, const std::string& attributes) {
      std::lock_guard<std::mutex> lock(mu);
      events.emplace_back(name, attributes);
    };
  }
};

TEST(ReporterTest, HandsNameAndAttributesToTheSink) {
  Recorded recorded;
  Reporter reporter(recorded.sink());
  reporter.report(event::md5ErrorInfo{"https://u/p.dmg"});
  reporter.report(event::reDownloadClick{});
  ASSERT_EQ(recorded.events.size(), 2u);
  EXPECT_EQ(recorded.events[0].first, "MD5ErrorInfo");
  EXPECT_EQ(recorded.events[0].second, R"({"msg":{"url":"https://u/p.dmg"}})");
  EXPECT_EQ(recorded.events[1].first, "ReDownloadClicke");
  EXPECT_EQ(recorded.events[1].second, R"({"msg":{}})");
}

TEST(ReporterTest, InvalidTextIsStillSentWithTheFallback) {
  Recorded recorded;
  Reporter reporter(recorded.sink());
  reporter.report(event::carouselFail{"https://c/\xff", "x"});
  ASSERT_EQ(recorded.events.size(), 1u);
  EXPECT_EQ(recorded.events[0].first, "Carousel_Fail");
  EXPECT_EQ(recorded.events[0].second, R"({"msg":{}})");
}

TEST(ReporterTest, InstalledLatchesOnSuccess) {
  Recorded recorded;
  Reporter reporter(recorded.sink());
  EXPECT_FALSE(reporter.installed());
  reporter.report(event::startInstallInfo{"/A"});
  EXPECT_FALSE(reporter.installed());
  reporter.report(event::installSuccessInfo{"/A"});
  EXPECT_TRUE(reporter.installed());
  reporter.report(event::installFailedInfo{"/A", "later"});
  EXPECT_TRUE(reporter.installed());
}

TEST(ReporterTest, WithoutASinkNothingBreaks) {
  Reporter reporter(nullptr);
  reporter.report(event::installSuccessInfo{"/A"});
  EXPECT_TRUE(reporter.installed());
}

TEST(ReporterTest, SinkMayReportAgain) {
  // The sink runs outside the reporter's lock, so a sink that reports (or
  // reads installed) does not deadlock.
  std::vector<std::string> names;
  Reporter* self = nullptr;
  Reporter reporter([&](const std::string& name, const std::string&) {
    names.push_back(name);
    if (name == "Quit_Quit") self->report(event::downloaderExitInfo{});
    (void)self->installed();
  });
  self = &reporter;
  reporter.report(event::quitQuit{});
  EXPECT_EQ(names, (std::vector<std::string>{"Quit_Quit", "downloaderExitInfo"}));
}

TEST(ReporterTest, ConcurrentReports) {
  Recorded recorded;
  Reporter reporter(recorded.sink());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        if (t == 0 && i == 50) {
          reporter.report(event::installSuccessInfo{"/A"});
        } else {
          reporter.report(event::downloadStartInfo{"u", i});
        }
        (void)reporter.installed();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(recorded.events.size(), 400u);
  EXPECT_TRUE(reporter.installed());
}

TEST(ReporterTest, SharedReporterUsesTheSinkSetAtStartUp) {
  Recorded recorded;
  Reporter::setSharedSink(recorded.sink());
  Reporter::shared().report(event::startAppClick{});
  // The crash reporter's shared instance reports through the same one.
  CrashReporter::shared().handleException(std::make_exception_ptr(std::runtime_error("x")));
  Reporter::setSharedSink(nullptr);
  Reporter::shared().report(event::quitQuit{});  // back to the system log only
  ASSERT_EQ(recorded.events.size(), 2u);
  EXPECT_EQ(recorded.events[0].first, "StartAppClick");
  EXPECT_EQ(recorded.events[1].first, "InstallFailedInfo");
}

// Sets an environment variable for one scope, restoring what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(LaunchEventTest, FilledFromBundleAndPlatform) {
  platform::ScopedSystemVersionOverride running({14, 2, 1});
  ScopedEnv language("LANGUAGE", "de_CH");  // ahead of LC_ALL, LC_MESSAGES and LANG
  event::downloaderStart e = launchEvent();
  EXPECT_EQ(e.version, "");  // the test program has no bundle
  EXPECT_EQ(e.language, "German");
  EXPECT_EQ(e.country, "Switzerland");
  EXPECT_FALSE(e.timezone.empty());
  EXPECT_EQ(e.ostype, "Mac");
  EXPECT_EQ(e.osversion, "14.2.1");
  EXPECT_EQ(e.kernel, "");
}

}  // namespace
}  // namespace installer
