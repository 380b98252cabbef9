#include "platform/system_log.h"

#include <syslog.h>

#include <cstdlib>
#include <mutex>

namespace installer::platform {

namespace {

bool debugFromEnvironment() {
  static const bool enabled = [] {
    const char* value = std::getenv("INSTALLER_DEBUG_LOG");
    return value != nullptr && *value != '\0';
  }();
  return enabled;
}

void openLogOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    // With debug logging on, lines also go to standard error so that a
    // developer sees them without a log viewer.
    int options = LOG_PID | LOG_NDELAY;
    if (debugFromEnvironment()) options |= LOG_PERROR;
    openlog("installer", options, LOG_USER);
  });
}

}  // namespace

SystemLog::SystemLog(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

bool SystemLog::debugEnabled() const { return debugFromEnvironment(); }

void SystemLog::debug(const std::string& message) const { write(LogLevel::debug, message); }
void SystemLog::info(const std::string& message) const { write(LogLevel::info, message); }
void SystemLog::error(const std::string& message) const { write(LogLevel::error, message); }

void SystemLog::write(LogLevel level, const std::string& message) const {
  int priority = LOG_INFO;
  switch (level) {
    case LogLevel::debug:
      if (!debugEnabled()) return;
      priority = LOG_DEBUG;
      break;
    case LogLevel::info:
      priority = LOG_INFO;
      break;
    case LogLevel::error:
      priority = LOG_ERR;
      break;
  }
  openLogOnce();
  std::string line = "[" + subsystem_ + ":" + category_ + "] " + message;
  syslog(priority, "%s", line.c_str());
}

}  // namespace installer::platform
