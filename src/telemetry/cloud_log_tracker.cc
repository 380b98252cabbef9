#include "telemetry/cloud_log_tracker.h"

#include <array>
#include <string_view>

#include "platform/bundle.h"
#include "telemetry/crash_reporter.h"
#include "telemetry/qx_cloud_log.h"
#include "telemetry/reporter.h"

namespace installer {

namespace {

// Which machine identifier the logs carry: "sha256-darwin" (hashed) or
// "platform-uuid" (raw); anything else sends none.
constexpr std::string_view kMachineIDSource = "sha256-darwin";

std::string machineIDFor(std::string_view source) {
  int mode = 0;
  if (source == "sha256-darwin") {
    mode = 0;
  } else if (source == "platform-uuid") {
    mode = 1;
  } else {
    return "";
  }
  std::array<char, 65> buffer{};
  qx_cl_machine_id(buffer.data(), buffer.size(), mode);
  return std::string(buffer.data());
}

CloudLogTracker::LogWriter systemLogWriter() {
  std::string subsystem = platform::Bundle::main().identifier();
  if (subsystem.empty()) subsystem = "installer";
  platform::SystemLog logger(std::move(subsystem), "cloud-log");
  return [logger](platform::LogLevel level, const std::string& line) { logger.write(level, line); };
}

}  // namespace

CloudLogTracker& CloudLogTracker::shared() {
  static CloudLogTracker* tracker = new CloudLogTracker(buildLogDeployment());
  return *tracker;
}

void CloudLogTracker::installAsReporterSink() {
  CloudLogTracker& tracker = shared();
  Reporter::setSharedSink(
      [&tracker](const std::string& name, const std::string& attributes) { tracker.track(name, attributes); });
  CrashReporter::shared().setBeforeAbort([&tracker] {
    // A terminate on the tracker's own queue may hold the bridge's lock;
    // waiting for it there would never end.
    if (!tracker.queue_.isCurrent()) tracker.shutdown();
  });
}

CloudLogTracker::CloudLogTracker(LogDeployment deployment, LogWriter writer)
    : deployment_(std::move(deployment)),
      log_(writer ? std::move(writer) : systemLogWriter()),
      queue_("installer.cloud-log") {}

CloudLogTracker::~CloudLogTracker() { shutdown(); }

void CloudLogTracker::track(const std::string& eventName, const std::string& attributes) {
  queue_.async([this, eventName, attributes] { trackOnQueue(eventName, attributes); });
}

void CloudLogTracker::shutdown() {
  queue_.sync([this] { shutdownOnQueue(); });
}

void CloudLogTracker::startOnQueue() {
  if (isStarted_) return;
  isStarted_ = true;
  machineID_ = machineIDFor(kMachineIDSource);
  const LogDeployment& d = deployment_;
  isActive_ = qx_cl_init(d.endpoint.c_str(), d.project.c_str(), d.logstore.c_str(),
                         d.accessKeyId.c_str(), d.accessKeySecret.c_str());
  if (!isActive_) {
    log_(platform::LogLevel::error, "qx_cl_init failed, 打点已停用");
  } else {
    log_(platform::LogLevel::debug, "started, logstore " + d.logstore);
  }
}

void CloudLogTracker::trackOnQueue(const std::string& eventName, const std::string& attributes) {
  startOnQueue();
  if (!isActive_) return;
  if (!qx_cl_add_log(eventName.c_str(), attributes.c_str(), machineID_.c_str())) {
    log_(platform::LogLevel::debug, "track " + eventName + " dropped");
  }
}

void CloudLogTracker::shutdownOnQueue() {
  if (!isActive_) return;
  qx_cl_shutdown();
  isActive_ = false;
  log_(platform::LogLevel::debug, "shutdown");
}

}  // namespace installer
