// Running one shell script with administrator rights.
//
// `execute_privileged` starts a tool with root rights and returns once the
// authorization is settled, without waiting for the tool. Asked for it, it
// hands back the communications pipe the elevation tool gives the tool
// (its standard output), as the platform's call does; `runPrivilegedScript`
// has the root shell write its exit status there and reads it with a
// deadline. Nothing is written to the user's temporary folder.
//
// On Linux the elevation goes through `pkexec` (polkit), started in a
// process group of its own: pkexec exiting 126 (the password dialog
// dismissed) is the cancellation, any other refusal a failure status. The
// runner learns that the elevated shell has started from a marker the shell
// writes on the pipe first.
//
// A root shell that outlives its time limit ends its own process group (the
// runner, not being root, may not be allowed to signal it); the runner also
// signals the group where it can.
//
// All of it blocks the calling thread (the password dialog, then the wait
// for the status); nothing is shared between calls.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
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
// elevation tool at a fake.
struct PrivilegedRunnerOptions {
  std::filesystem::path elevationTool = "/usr/bin/pkexec";  // ignored on macOS
};

// The elevated tool as its starter sees it. `pipe` (owned by the receiver,
// who closes it) reads the tool's standard output; `pending` holds what was
// read past the start marker. `process` is the elevation tool's process,
// leader of `processGroup`; the receiver reaps it (0 when unknown).
struct PrivilegedProcess {
  int pipe = -1;
  std::string pending;
  pid_t process = 0;
  pid_t processGroup = 0;
};

// Starts a tool as root through `elevationTool`; the Linux body of
// `execute_privileged`, exposed so tests can inject the tool. With
// `started`, on success the tool keeps the pipe as its standard output and
// `started` receives it; without, the tool lets go of every descriptor it
// shares with us.
std::int32_t executePrivilegedWith(const std::filesystem::path& elevationTool,
                                   const char* toolPath, const char* const* arguments,
                                   std::int32_t count, PrivilegedProcess* started = nullptr);

// Runs "/bin/sh" with `arguments` as root; returns the authorization status.
std::int32_t runPrivilegedCommand(const std::vector<std::string>& arguments,
                                  const PrivilegedRunnerOptions& options = {},
                                  PrivilegedProcess* started = nullptr);

// What the root script says while it runs: each line it writes to
// descriptor 3, called on the runner's (the caller's) thread.
using PrivilegedMessageHandler = std::function<void(const std::string& message)>;

// Runs `script` as root through "/bin/sh -c" with umask 022 and no input or
// output of its own (descriptor 3 carries its messages to `onMessage`),
// then reads the root shell's status line from the pipe until it arrives or
// `limit` seconds passed. Returns the script's exit status (any number; -1
// when the shell ended without saying). Throws PrivilegedTaskError
// (authorizationCancelled for status -60006, authorizationFailed for any
// other non-zero status, timedOut). At the deadline the shell's process
// group is ended.
std::int32_t runPrivilegedScript(const std::string& script, double limit,
                                 const PrivilegedRunnerOptions& options = {},
                                 const PrivilegedMessageHandler& onMessage = {});

// Reads a status text: trimmed, an optional sign and digits only, within 32
// bits. False for anything else.
bool parseStatusText(const std::string& text, std::int32_t& value);

}  // namespace installer
