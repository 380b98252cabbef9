// The shared usage-event reporter: turns an event into its name and JSON
// attributes, writes a debug line and hands the pair to its sink.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/system_log.h"
#include "telemetry/report_event.h"

namespace installer {

class Reporter {
 public:
  using Sink = std::function<void(const std::string& eventName, const std::string& attributes)>;

  // A reporter with its own sink (tests, tools).
  explicit Reporter(Sink sink);

  // The process-wide reporter, created on first use. Its sink is replaced
  // once at start-up by the cloud log tracker (`setSharedSink`); until then
  // events go to the system log only.
  static Reporter& shared();
  static void setSharedSink(Sink sink);

  // Any thread; never blocks longer than the JSON encoding plus the sink's
  // own (enqueue-only) work.
  void report(const ReportEvent& event);

  // True once installSuccessInfo has been reported; never goes back.
  bool installed() const;

 private:
  void setSink(Sink sink);

  platform::SystemLog logger_;
  mutable std::mutex stateLock_;  // guards installed_ and sink_
  bool installed_ = false;
  Sink sink_;
};

}  // namespace installer
