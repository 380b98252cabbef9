#include "telemetry/reporter.h"

#include "platform/bundle.h"

namespace installer {

namespace {

platform::SystemLog makeLogger() {
  std::string subsystem = platform::Bundle::main().identifier();
  if (subsystem.empty()) subsystem = "installer";
  return platform::SystemLog(std::move(subsystem), "installer");
}

}  // namespace

Reporter::Reporter(Sink sink) : logger_(makeLogger()), sink_(std::move(sink)) {}

Reporter& Reporter::shared() {
  // Never destroyed: threads may still report while the process exits.
  static Reporter* reporter = new Reporter(nullptr);
  return *reporter;
}

void Reporter::setSharedSink(Sink sink) { shared().setSink(std::move(sink)); }

void Reporter::setSink(Sink sink) {
  std::lock_guard<std::mutex> lock(stateLock_);
  sink_ = std::move(sink);
}

void Reporter::report(const ReportEvent& event) {
  const std::string name = eventName(event);
  Sink sink;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    if (std::holds_alternative<event::installSuccessInfo>(event)) installed_ = true;
    sink = sink_;
  }
  const bool debug = logger_.debugEnabled();
  if (debug) logger_.debug("event " + name);
  std::string attributes = attributesText(event);
  if (sink) {
    // Outside the lock: a sink may take its own locks or report again.
    sink(name, attributes);
  } else if (debug) {
    // No tracker yet: the system log is the only record of the event.
    logger_.debug("event " + name + " " + attributes);
  }
}

bool Reporter::installed() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return installed_;
}

}  // namespace installer
