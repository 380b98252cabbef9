// The reporter's sink towards the cloud log service: starts the log
// producer on the first event, adds one log per event with five fixed keys
// under a hashed machine identifier, and shuts the producer down at quit.
//
// Threads: `track` may be called from any thread and never waits; all
// tracker state lives on its serial queue "installer.cloud-log". `shutdown`
// runs synchronously on that queue (the caller waits), so events queued
// before it are added before the producer goes.
//
// The producer itself is the process-wide one of the qx_cl_* bridge
// (qx_cloud_log.h): at most one tracker may be started at a time.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch.h"
#include "platform/system_log.h"
#include "telemetry/log_deployment.h"

namespace installer {

class CloudLogTracker {
 public:
  // Where the tracker's diagnostic lines go: by default the system log
  // (subsystem = main bundle identifier or "installer", category
  // "cloud-log"), where debug lines show only with debug logging on.
  using LogWriter = std::function<void(platform::LogLevel level, const std::string& line)>;

  // The process-wide tracker over the build's deployment constants, created
  // on first use and never destroyed (threads may report while the process
  // exits).
  static CloudLogTracker& shared();
  // Makes the shared tracker the shared reporter's sink and the shared crash
  // reporter's before-abort step (a synchronous `shutdown`, so a crash
  // report reaches the service before the process aborts). Call first thing
  // at start-up, before any event is reported.
  static void installAsReporterSink();

  // A tracker reporting to `deployment`; any empty constant leaves telemetry
  // off after one error line. `writer` null: the system log.
  explicit CloudLogTracker(LogDeployment deployment, LogWriter writer = nullptr);
  // Runs what is queued, then `shutdown`. Not on the tracker's queue.
  ~CloudLogTracker();
  CloudLogTracker(const CloudLogTracker&) = delete;
  CloudLogTracker& operator=(const CloudLogTracker&) = delete;

  // Queues one log for `eventName` with `attributes` (JSON text) and
  // returns. The first call starts the producer; when that fails, this and
  // every later event is discarded.
  void track(const std::string& eventName, const std::string& attributes);
  // Waits until everything queued has run, then stops the producer (at
  // most about 2 s with the service unreachable). Does nothing, and logs
  // nothing, when no event was ever tracked. Events tracked afterwards are
  // discarded. Any thread; on the tracker's queue it runs inline.
  void shutdown();

 private:
  void startOnQueue();
  void trackOnQueue(const std::string& eventName, const std::string& attributes);
  void shutdownOnQueue();

  const LogDeployment deployment_;
  LogWriter log_;
  // Queue-only state.
  bool isStarted_ = false;
  bool isActive_ = false;
  std::string machineID_;
  // Last: destroyed first, so queued tasks never see the fields above gone.
  platform::SerialQueue queue_;
};

}  // namespace installer
