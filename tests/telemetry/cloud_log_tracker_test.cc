#include "telemetry/cloud_log_tracker.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "support/fake_log_service.h"
#include "support/scoped_temp_home.h"
#include "support/reference_digest.h"
#include "telemetry/crash_reporter.h"
#include "telemetry/launch_event.h"
#include "telemetry/qx_cloud_log.h"
#include "telemetry/qx_cloud_log_testing.h"
#include "telemetry/reporter.h"

extern "C" bool qx_c_caller_machine_id(char* out, size_t size);

namespace installer {
namespace {

using installer_test::FakeLogService;
using installer_test::KeyValues;
using platform::LogLevel;
using Line = std::pair<LogLevel, std::string>;

constexpr char kId[] = "LTAI5tTestAccessKeyId000";
constexpr char kSecret[] = "TestAccessKeySecret00000000000";
const std::chrono::seconds kWait(10);

class Lines {
 public:
  CloudLogTracker::LogWriter writer() {
    return [this](LogLevel level, const std::string& line) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.emplace_back(level, line);
    };
  }
  std::vector<Line> get() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 private:
  std::mutex mu_;
  std::vector<Line> lines_;
};

LogDeployment deploymentFor(const FakeLogService& service) {
  return {service.endpoint(), "proj", "events", kId, kSecret};
}

// A fixed machine, so the identifier is known wherever the test runs.
constexpr char kPlatformUUID[] = "4C4C4544-0042-3510-8052-B4C04F4B4E32";
std::optional<std::string> fixedMachine() { return kPlatformUUID; }
std::optional<std::string> anonymousMachine() { return std::nullopt; }
const testing::ScopedMachineIdentifierSource kFixedMachine(&fixedMachine);

// "darwin|" + the platform identifier, SHA-256, lower-case hex; computed
// independently of the bridge.
std::string expectedMachineID() {
  return testing::referenceHexDigest(std::string("darwin|") + kPlatformUUID, EVP_sha256());
}

KeyValues fiveKeys(const std::string& attribute, const std::string& activity, const std::string& uuid) {
  return {{"Attribute", attribute},
          {"Activity", activity},
          {"GenerateUuid", "{" + uuid + "}"},
          {"Window", "AppDownloader"},
          {"Timestamp", "0"}};
}

// Keeps the telemetry spool of these tests out of the real home.
const installer::testing::ScopedTempHome kPrivateHome;

TEST(CloudLogTrackerTest, LaunchAndCrashReportsQueuedBeforeTheStartArriveOnceWithTheFiveKeys) {
  FakeLogService service(kId, kSecret);
  Lines lines;
  CloudLogTracker tracker(deploymentFor(service), lines.writer());
  Reporter reporter([&](const std::string& name, const std::string& attributes) {
    tracker.track(name, attributes);
  });
  CrashReporter crashes(reporter);

  reporter.report(launchEvent());
  crashes.handleException(std::make_exception_ptr(std::runtime_error("boom")));
  tracker.track("Later", "{}");
  tracker.shutdown();  // what the crash reporter runs before aborting
  tracker.track("AfterShutdown", "{}");

  ASSERT_TRUE(service.waitForAcceptedLogs(3, kWait));
  std::vector<installer_test::DecodedLog> logs = service.acceptedLogs();
  ASSERT_EQ(logs.size(), 3u);
  const std::string id = expectedMachineID();
  ASSERT_EQ(logs[0].contents.size(), 5u);
  EXPECT_EQ(logs[0].contents, fiveKeys(logs[0].contents[0].second, "DownloaderStart", id));
  EXPECT_EQ(logs[1].contents,
            fiveKeys(R"({"msg":{"error":"std::runtime_error: boom","path":""}})", "InstallFailedInfo", id));
  EXPECT_EQ(logs[2].contents, fiveKeys("{}", "Later", id));
  EXPECT_EQ(lines.get(), (std::vector<Line>{{LogLevel::debug, "started, logstore events"},
                                            {LogLevel::debug, "shutdown"}}));
}

TEST(CloudLogTrackerTest, EventsFromSeveralThreadsArriveOnceInOrderPerThread) {
  FakeLogService service(kId, kSecret);
  CloudLogTracker tracker(deploymentFor(service), [](LogLevel, const std::string&) {});
  constexpr int kThreads = 4;
  constexpr int kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&tracker, t] {
      std::string name = "T";
      name.append(std::to_string(t));
      for (int i = 0; i < kEach; ++i) tracker.track(name, std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  tracker.shutdown();

  ASSERT_TRUE(service.waitForAcceptedLogs(kThreads * kEach, kWait));
  std::map<std::string, std::vector<std::string>> perThread;
  for (const auto& log : service.acceptedLogs()) perThread[log.contents[1].second].push_back(log.contents[0].second);
  ASSERT_EQ(perThread.size(), static_cast<size_t>(kThreads));
  std::vector<std::string> expected;
  for (int i = 0; i < kEach; ++i) expected.push_back(std::to_string(i));
  for (const auto& [name, sequence] : perThread) EXPECT_EQ(sequence, expected) << name;
}

log_producer* refuseEveryConfiguration(log_producer_config*, on_log_producer_send_done_function, void*) {
  return nullptr;
}

TEST(CloudLogTrackerTest, AFailedStartDisablesTelemetryAfterOneErrorLine) {
  for (bool emptyConstant : {true, false}) {
    SCOPED_TRACE(emptyConstant ? "empty constant" : "producer refuses");
    FakeLogService service(kId, kSecret);
    LogDeployment deployment = deploymentFor(service);
    std::optional<testing::ScopedLogProducerFactory> refuse;
    if (emptyConstant) {
      deployment.logstore.clear();
    } else {
      refuse.emplace(&refuseEveryConfiguration);
    }
    Lines lines;
    CloudLogTracker tracker(deployment, lines.writer());
    for (int i = 0; i < 3; ++i) tracker.track("Event", "{}");
    tracker.shutdown();
    EXPECT_EQ(lines.get(), (std::vector<Line>{{LogLevel::error, "qx_cl_init failed, 打点已停用"}}));
    EXPECT_TRUE(service.acceptedLogs().empty());
  }
}

TEST(CloudLogTrackerTest, ShutdownWithoutAnEventDoesNothing) {
  FakeLogService service(kId, kSecret);
  Lines lines;
  {
    CloudLogTracker tracker(deploymentFor(service), lines.writer());
    tracker.shutdown();
  }
  EXPECT_TRUE(lines.get().empty());
  EXPECT_EQ(service.requestCount(), 0u);
}

TEST(CloudLogBridgeTest, AbsentAttributeAndUuidArriveEmpty) {
  FakeLogService service(kId, kSecret);
  ASSERT_TRUE(qx_cl_init(service.endpoint().c_str(), "proj", "events", kId, kSecret));
  EXPECT_TRUE(qx_cl_init("elsewhere:1", "p", "l", "i", "s"));  // no effect
  EXPECT_FALSE(qx_cl_add_log("", "{}", "id"));
  EXPECT_TRUE(qx_cl_add_log("Activity", nullptr, nullptr));
  // Delivered before the shutdown, whose flush has a bound a loaded
  // machine may outlast.
  ASSERT_TRUE(service.waitForAcceptedLogs(1, kWait));
  qx_cl_shutdown();
  EXPECT_FALSE(qx_cl_add_log("Late", "{}", "id"));

  std::vector<installer_test::DecodedLog> logs = service.acceptedLogs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].contents, fiveKeys("", "Activity", ""));
}

TEST(CloudLogBridgeTest, MachineIdNeedsRoomForTheWholeIdentifier) {
  const std::string lower = "4c4c4544-0042-3510-8052-b4c04f4b4e32";
  const std::string hashed = expectedMachineID();
  ASSERT_EQ(hashed.size(), 64u);
  struct Case {
    size_t size;
    int mode;
    std::string expected;  // "X": the buffer is untouched
  };
  const Case cases[] = {{0, 0, "X"},  {64, 0, ""},    {65, 0, hashed},
                        {0, 1, "X"},  {36, 1, ""},    {37, 1, lower}, {65, 1, lower}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, mode " + std::to_string(c.mode));
    std::vector<char> buffer(80, 'X');
    qx_cl_machine_id(buffer.data(), c.size, c.mode);
    EXPECT_EQ(c.size == 0 ? std::string(1, buffer[0]) : std::string(buffer.data()), c.expected);
  }
  char fromC[65];
  EXPECT_TRUE(qx_c_caller_machine_id(fromC, sizeof fromC));
  EXPECT_EQ(std::string(fromC), hashed);
}

TEST(CloudLogBridgeTest, AMachineWithoutAnIdentifierGetsAnEmptyOne) {
  testing::ScopedMachineIdentifierSource anonymous(&anonymousMachine);
  for (int mode : {0, 1}) {
    std::vector<char> buffer(80, 'X');
    qx_cl_machine_id(buffer.data(), buffer.size(), mode);
    EXPECT_EQ(std::string(buffer.data()), "") << mode;
  }
}

}  // namespace
}  // namespace installer
