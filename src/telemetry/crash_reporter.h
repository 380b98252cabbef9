// Reports exceptions that nothing else caught as installFailedInfo.
//
// The shared instance is installed once at start-up as the process's
// terminate handler; thread entry points that catch everything hand what
// they caught to handleException(). The install directory is set once the
// install coordinator exists, so the report names where the run was going.
#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "telemetry/reporter.h"

namespace installer {

class CrashReporter {
 public:
  // Reports through `reporter`, which must outlive this object.
  explicit CrashReporter(Reporter& reporter);

  // The process-wide instance over Reporter::shared(); created on first use,
  // never destroyed.
  static CrashReporter& shared();

  // Any thread. Absent until set; reported as "" while absent.
  void setInstallDirectory(std::optional<std::string> path);
  std::optional<std::string> installDirectory() const;

  // Run after the report and before the process aborts, so that a tracker
  // can push the event out (it should bound its own wait). Any thread.
  void setBeforeAbort(std::function<void()> hook);

  // Makes this reporter the process's terminate handler: when std::terminate
  // runs with a current exception (an exception escaped a thread or hit a
  // noexcept boundary), it reports that exception, runs the before-abort
  // hook and aborts. Without a current exception it aborts without a
  // report. A second terminate while reporting aborts at once. The object
  // must live for the rest of the process (the shared one does).
  void install();

  // The end of an exception nothing handled (a toolkit signal handler's, a
  // queue task's): reports it as handleException does, runs the
  // before-abort hook and aborts, as the terminate handler does. A second
  // uncaught exception meanwhile (any thread) waits a few seconds for the
  // first report and aborts too. Any thread.
  [[noreturn]] void handleUncaughtException(std::exception_ptr exception);

  // Reports installFailedInfo for `exception` with error text
  // "<type name>: <what()>" (the type name demangled; "" for what() when the
  // exception is not a std::exception) and the install directory's path.
  // Does not abort. Null `exception` does nothing. Any thread.
  void handleException(std::exception_ptr exception);

  // "<type name>: <what()>" as above.
  static std::string describe(std::exception_ptr exception);

 private:
  static void onTerminate();
  [[noreturn]] static void reportAndAbort(CrashReporter* self, std::exception_ptr exception);

  Reporter& reporter_;
  mutable std::mutex mu_;  // guards the two fields below
  std::optional<std::string> installDirectory_;
  std::function<void()> beforeAbort_;
};

}  // namespace installer
