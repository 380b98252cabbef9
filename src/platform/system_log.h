// The system log, with a subsystem and a category on every line (syslog
// under the identifier "installer"). Cheap to copy; any thread.
#pragma once

#include <string>

namespace installer::platform {

enum class LogLevel { debug, info, error };

class SystemLog {
 public:
  SystemLog(std::string subsystem, std::string category);
  // Debug lines are written only when INSTALLER_DEBUG_LOG is set in the
  // environment (read once).
  bool debugEnabled() const;
  void debug(const std::string& message) const;
  void info(const std::string& message) const;
  void error(const std::string& message) const;
  void write(LogLevel level, const std::string& message) const;

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace installer::platform
