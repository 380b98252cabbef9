// Running one program of ours with administrator rights.
//
// `execute_privileged` starts a tool with root rights and returns once the
// authorization is settled, without waiting for the tool to finish. The
// tool itself says when it runs: its first line on its standard output is
// the start marker, which means the user has authorised it. Asked for it,
// `execute_privileged` hands back that output (the platform's
// communications pipe); `runPrivilegedTool` reads the tool's messages and
// its status line from it with a deadline that starts only once the tool
// runs. The password prompt has its own, longer wait, which the user ends
// by cancelling. Nothing is written to the user's temporary folder and no
// shell runs as root.
//
// On Linux the elevation goes through `pkexec` (polkit), which runs the
// tool directly, started in a process group of its own: pkexec exiting 126
// (the password dialog dismissed) is the cancellation, any other refusal a
// failure status.
//
// A tool that outlives its time limit must end itself (the runner, not
// being root, may not be allowed to signal it); the runner closes the pipe,
// which the tool takes as the end of the run, and sends the group SIGTERM where
// it can.
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
  kPrivilegedStatusInteractionNotAllowed = -60007,  // the prompt went unanswered too long
  kPrivilegedStatusInternal = -60008,     // argument vector not allocated
  kPrivilegedStatusToolExecuteFailure = -60031,  // elevation tool not startable
};

// Starts `toolPath` with `arguments[0 .. count)` as root and returns the
// authorization status once the tool has said it started (or has ended),
// without waiting for it to finish; its output pipe is closed then. A null
// `toolPath` returns -60002. Any thread.
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

// The first line a privileged tool writes, and the prefix of its last
// (followed by its exit status in decimal).
inline constexpr char kPrivilegedStartedLine[] = "qx-privileged-started";
inline constexpr char kPrivilegedStatusPrefix[] = "qx-privileged-status ";

// What the runner uses; the defaults are the real ones. Tests point the
// elevation tool at a fake.
struct PrivilegedRunnerOptions {
  std::filesystem::path elevationTool = "/usr/bin/pkexec";  // ignored on macOS
  // How long the password prompt may stay up, in seconds.
  double promptLimit = 600;
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
// `started` receives it. When the tool has not said it started within
// `promptLimit` seconds, its process group is ended and the result is
// -60007.
std::int32_t executePrivilegedWith(const std::filesystem::path& elevationTool,
                                   const char* toolPath, const char* const* arguments,
                                   std::int32_t count, PrivilegedProcess* started = nullptr,
                                   double promptLimit = 600);

// What the tool says while it runs: each line between the start marker and
// the status line, called on the runner's (the caller's) thread.
using PrivilegedMessageHandler = std::function<void(const std::string& message)>;

// Runs `tool` with `arguments` as root, with no input, then reads its
// messages and its status line until that arrives or `limit` seconds
// passed since the tool said it started. Returns the tool's exit status
// (any number; -1 when it ended without saying). Throws PrivilegedTaskError
// (authorizationCancelled for status -60006, timedOut for an unanswered
// prompt and at the deadline, authorizationFailed for any other non-zero
// status). At the deadline the pipe is closed and the group sent SIGTERM
// where that is allowed.
std::int32_t runPrivilegedTool(const std::filesystem::path& tool, const std::vector<std::string>& arguments,
                               double limit, const PrivilegedRunnerOptions& options = {},
                               const PrivilegedMessageHandler& onMessage = {});

// Reads a status text: trimmed, an optional sign and digits only, within 32
// bits. False for anything else.
bool parseStatusText(const std::string& text, std::int32_t& value);

}  // namespace installer
