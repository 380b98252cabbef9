#include "telemetry/crash_reporter.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <memory>
#include <thread>
#include <typeinfo>

namespace installer {

namespace {

std::atomic<CrashReporter*> installedReporter{nullptr};
std::atomic<bool> terminating{false};
std::atomic<std::thread::id> reportingThread{};

std::string demangle(const std::type_info* type) {
  if (type == nullptr) return "unknown exception";
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type->name());
}

}  // namespace

CrashReporter::CrashReporter(Reporter& reporter) : reporter_(reporter) {}

CrashReporter& CrashReporter::shared() {
  static CrashReporter* instance = new CrashReporter(Reporter::shared());
  return *instance;
}

void CrashReporter::setInstallDirectory(std::optional<std::string> path) {
  std::lock_guard<std::mutex> lock(mu_);
  installDirectory_ = std::move(path);
}

std::optional<std::string> CrashReporter::installDirectory() const {
  std::lock_guard<std::mutex> lock(mu_);
  return installDirectory_;
}

void CrashReporter::setBeforeAbort(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  beforeAbort_ = std::move(hook);
}

std::string CrashReporter::describe(std::exception_ptr exception) {
  if (!exception) return std::string();
  try {
    std::rethrow_exception(exception);
  } catch (const std::exception& e) {
    return demangle(&typeid(e)) + ": " + e.what();
  } catch (...) {
    return demangle(abi::__cxa_current_exception_type()) + ": ";
  }
}

void CrashReporter::handleException(std::exception_ptr exception) {
  if (!exception) return;
  std::string error = describe(exception);
  reporter_.report(event::installFailedInfo{installDirectory().value_or(""), std::move(error)});
}

void CrashReporter::install() {
  installedReporter.store(this);
  std::set_terminate(&CrashReporter::onTerminate);
}

void CrashReporter::handleUncaughtException(std::exception_ptr exception) {
  reportAndAbort(this, std::move(exception));
}

void CrashReporter::onTerminate() { reportAndAbort(installedReporter.load(), std::current_exception()); }

void CrashReporter::reportAndAbort(CrashReporter* self, std::exception_ptr exception) {
  // Only the first uncaught exception reports. A second one on the
  // reporting thread itself (the report failed) aborts at once; another
  // thread meanwhile gives the report a few seconds before aborting too.
  if (terminating.exchange(true)) {
    if (reportingThread.load() != std::this_thread::get_id()) {
      std::this_thread::sleep_for(std::chrono::seconds(5));
    }
  } else {
    reportingThread.store(std::this_thread::get_id());
    if (self != nullptr && exception) {
      try {
        self->handleException(exception);
        std::function<void()> hook;
        {
          std::lock_guard<std::mutex> lock(self->mu_);
          hook = self->beforeAbort_;
        }
        if (hook) hook();
      } catch (...) {
      }
    }
  }
  std::abort();
}

}  // namespace installer
