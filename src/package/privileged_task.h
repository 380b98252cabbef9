// Running one shell script with administrator rights.
//
// `execute_privileged` starts a tool with root rights and returns at once
// with an authorization status; it neither waits for the tool nor returns
// its exit status. `runPrivilegedScript` therefore has the script write its
// own exit status into a status file and polls that file.
//
// On Linux the elevation goes through `pkexec` (polkit): pkexec exiting 126
// (the password dialog dismissed) is the cancellation, any other refusal a
// failure status. The runner learns that the elevated shell has started
// from a marker the shell writes before it detaches from our pipe, and
// never waits for the shell itself.
//
// All of it blocks the calling thread (the password dialog, then the
// polling); nothing is shared between calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {

// Authorization status values (the platform's published codes).
enum {
  kPrivilegedStatusSuccess = 0,
  kPrivilegedStatusInvalidRef = -60002,   // tool path missing
  kPrivilegedStatusDenied = -60005,       // elevation refused
  kPrivilegedStatusCanceled = -60006,     // password dialog dismissed
  kPrivilegedStatusInternal = -60008,     // argument vector not allocated
  kPrivilegedStatusToolExecuteFailure = -60031,  // elevation tool not startable
};

// Starts `toolPath` with `arguments[0 .. count)` as root and returns the
// authorization status without waiting for the tool. A null `toolPath`
// returns -60002. Any thread.
int32_t execute_privileged(const char* toolPath, const char* const* arguments, int32_t count);
}

namespace installer {

class PrivilegedTaskError : public std::exception {
 public:
  enum class Case { authorizationFailed, authorizationCancelled, timedOut };

  static PrivilegedTaskError authorizationFailed(std::int32_t status);
  static PrivilegedTaskError authorizationCancelled();
  static PrivilegedTaskError timedOut();

  Case kind() const { return kind_; }
  std::int32_t status() const { return status_; }  // authorizationFailed only
  // "AuthorizationExecuteWithPrivileges() failed with status <n>",
  // "authorization was cancelled" or "privileged task timed out".
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  PrivilegedTaskError(Case kind, std::int32_t status, std::string description)
      : kind_(kind), status_(status), description_(std::move(description)) {}
  Case kind_;
  std::int32_t status_;
  std::string description_;
};

// What the runner uses; the defaults are the real ones. Tests point the
// elevation tool at a fake and shorten the poll interval.
struct PrivilegedRunnerOptions {
  std::filesystem::path elevationTool = "/usr/bin/pkexec";  // ignored on macOS
  std::filesystem::path temporaryDirectory;  // empty: platform::temporaryDirectory()
  std::chrono::milliseconds pollInterval{100};
};

// Starts a tool as root through `elevationTool`; the Linux body of
// `execute_privileged`, exposed so tests can inject the tool.
std::int32_t executePrivilegedWith(const std::filesystem::path& elevationTool,
                                   const char* toolPath, const char* const* arguments,
                                   std::int32_t count);

// Runs "/bin/sh" with `arguments` as root; returns the authorization status.
std::int32_t runPrivilegedCommand(const std::vector<std::string>& arguments,
                                  const PrivilegedRunnerOptions& options = {});

// Runs `script` as root through "/bin/sh -c", then polls the status file
// "<tmp>/qx-privileged-<UUID>.status" until it holds a number or `limit`
// seconds passed. Returns the script's exit status (any number); throws
// PrivilegedTaskError (authorizationCancelled for status -60006,
// authorizationFailed for any other non-zero status, timedOut). A shell
// still running at the deadline is left running.
std::int32_t runPrivilegedScript(const std::string& script, double limit,
                                 const PrivilegedRunnerOptions& options = {});

// Reads a status file's text: trimmed, an optional sign and digits only,
// within 32 bits. False for anything else.
bool parseStatusText(const std::string& text, std::int32_t& value);

}  // namespace installer
