// The reporter's sink towards the cloud log service: starts the log
// producer on the first event, adds one log per event with five fixed keys
// under a hashed machine identifier, and shuts the producer down at quit.
//
// Threads: `track` may be called from any thread and never waits; all
// tracker state lives on its serial queue "installer.cloud-log". `shutdown`
// runs synchronously on that queue (the caller waits), so events queued
// before it are added before the producer goes.
#pragma once

#include <memory>
#include <string>

#include "platform/dispatch.h"
#include "platform/system_log.h"

namespace installer {

class CloudLogTracker {
 public:
  // The process-wide tracker, created on first use.
  static CloudLogTracker& shared();
  // Makes the shared tracker the shared reporter's sink. Call first thing
  // at start-up, before any event is reported.
  static void installAsReporterSink();

  void track(const std::string& eventName, const std::string& attributes);
  // Waits until everything queued has run, then stops the producer (at
  // most about 2 s with the service unreachable). Not on the tracker's queue.
  void shutdown();
};

}  // namespace installer
