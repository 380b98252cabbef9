#include "package/privileged_task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <thread>

#ifdef __APPLE__
#include <Security/Authorization.h>
#include <Security/AuthorizationTags.h>
#endif

#include "package/tool_runner.h"

extern char** environ;

namespace {

const std::string kStartedMarker = std::string(installer::kPrivilegedStartedLine) + "\n";

// Arguments copied into a terminated vector the function owns.
struct ArgumentVector {
  char** items = nullptr;
  int32_t count = 0;
  ~ArgumentVector() {
    if (!items) return;
    for (int32_t i = 0; i < count; ++i) std::free(items[i]);
    std::free(items);
  }
  bool fill(const char* const* arguments, int32_t n) {
    int32_t slots = n < 1 ? 0 : n;
    items = static_cast<char**>(std::calloc(static_cast<size_t>(slots) + 1, sizeof(char*)));
    if (!items) return false;
    count = slots;
    for (int32_t i = 0; i < slots; ++i) {
      items[i] = strdup(arguments[i] ? arguments[i] : "");
      if (!items[i]) return false;
    }
    return true;
  }
};

#ifndef __APPLE__
// Waits for the elevation tool in the background once the elevated shell has
// started, so that it does not linger as a zombie; the caller does not wait.
void reapLater(pid_t pid) {
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}
#endif

}  // namespace

extern "C" int32_t execute_privileged(const char* toolPath, const char* const* arguments,
                                      int32_t count) {
  return installer::executePrivilegedWith("/usr/bin/pkexec", toolPath, arguments, count);
}

namespace installer {

#ifdef __APPLE__
std::int32_t executePrivilegedWith(const std::filesystem::path&, const char* toolPath,
                                   const char* const* arguments, std::int32_t count,
                                   PrivilegedProcess* started, double) {
  if (toolPath == nullptr) return errAuthorizationInvalidRef;
  AuthorizationRef ref = nullptr;
  OSStatus status = AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment,
                                        kAuthorizationFlagDefaults, &ref);
  if (status != errAuthorizationSuccess) return status;
  {
    ArgumentVector argv;
    if (!argv.fill(arguments, count)) {
      status = errAuthorizationInternal;
    } else {
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
      FILE* pipe = nullptr;
      status = AuthorizationExecuteWithPrivileges(ref, toolPath, kAuthorizationFlagDefaults,
                                                  argv.items, started ? &pipe : nullptr);
      if (pipe) {
        if (status == errAuthorizationSuccess) started->pipe = dup(fileno(pipe));
        fclose(pipe);
      }
#pragma clang diagnostic pop
    }
  }
  AuthorizationFree(ref, kAuthorizationFlagDestroyRights);
  return status;
}
#else
std::int32_t executePrivilegedWith(const std::filesystem::path& elevationTool, const char* toolPath,
                                   const char* const* arguments, std::int32_t count,
                                   PrivilegedProcess* started, double promptLimit) {
  if (toolPath == nullptr) return kPrivilegedStatusInvalidRef;
  ArgumentVector copies;
  if (!copies.fill(arguments, count)) return kPrivilegedStatusInternal;
  if (access(elevationTool.c_str(), X_OK) != 0) return kPrivilegedStatusToolExecuteFailure;

  std::vector<std::string> storage = {elevationTool.string(), toolPath};
  for (int32_t i = 0; i < copies.count; ++i) storage.emplace_back(copies.items[i]);
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return kPrivilegedStatusInternal;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  // A group of its own, so that an unanswered prompt can be ended whole.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return kPrivilegedStatusToolExecuteFailure;
  }

  using Clock = std::chrono::steady_clock;
  double bounded = std::isnan(promptLimit) ? 0 : std::clamp(promptLimit, 0.0, 1e9);
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
  std::string seen;
  size_t marker = std::string::npos;
  bool expired = false;
  char buffer[512];
  while (marker == std::string::npos) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      expired = true;
      break;
    }
    struct pollfd pfd = {fds[0], POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready <= 0) continue;
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    // Only the first line can be the marker.
    if (seen.size() < 4096) seen.append(buffer, static_cast<size_t>(n));
    auto lineEnd = seen.find('\n');
    if (lineEnd != std::string::npos) {
      if (seen.compare(0, lineEnd + 1, kStartedMarker) != 0) break;
      marker = 0;
    }
  }
  if (marker != std::string::npos) {
    if (started) {
      started->pipe = fds[0];
      started->pending = seen.substr(kStartedMarker.size());
      started->process = pid;
      started->processGroup = pid;
    } else {
      close(fds[0]);
      reapLater(pid);
    }
    return kPrivilegedStatusSuccess;
  }
  close(fds[0]);
  if (expired) {
    kill(-pid, SIGKILL);
    reapLater(pid);
    return kPrivilegedStatusInteractionNotAllowed;
  }

  int waitStatus = 0;
  while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 126) return kPrivilegedStatusCanceled;
  return kPrivilegedStatusDenied;
}
#endif

PrivilegedTaskError PrivilegedTaskError::authorizationFailed(std::int32_t status) {
  return PrivilegedTaskError(Case::authorizationFailed, status,
                             "AuthorizationExecuteWithPrivileges() failed with status " +
                                 std::to_string(status));
}
PrivilegedTaskError PrivilegedTaskError::authorizationCancelled() {
  return PrivilegedTaskError(Case::authorizationCancelled, 0, "authorization was cancelled");
}
PrivilegedTaskError PrivilegedTaskError::timedOut() {
  return PrivilegedTaskError(Case::timedOut, 0, "privileged task timed out");
}

bool parseStatusText(const std::string& text, std::int32_t& value) {
  const char* blanks = " \t\n\r\v\f";
  auto b = text.find_first_not_of(blanks);
  if (b == std::string::npos) return false;
  auto e = text.find_last_not_of(blanks);
  std::string s = text.substr(b, e - b + 1);
  size_t i = 0;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    i = 1;
  }
  if (i == s.size()) return false;
  long long n = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    n = n * 10 + (s[i] - '0');
    if (n > static_cast<long long>(INT32_MAX) + 1) return false;
  }
  if (negative) n = -n;
  if (n > INT32_MAX || n < INT32_MIN) return false;
  value = static_cast<std::int32_t>(n);
  return true;
}

namespace {

// Takes the whole lines off `text`: a status line ends the run with
// `value`; any other is the script's message for `onMessage`.
bool consumeLines(std::string& text, const PrivilegedMessageHandler& onMessage, std::int32_t& value) {
  for (;;) {
    auto end = text.find('\n');
    if (end == std::string::npos) return false;
    std::string line = text.substr(0, end);
    text.erase(0, end + 1);
    if (line.rfind(kPrivilegedStatusPrefix, 0) == 0) {
      if (parseStatusText(line.substr(sizeof kPrivilegedStatusPrefix - 1), value)) return true;
    } else if (onMessage) {
      onMessage(line);
    }
  }
}

// Asks what is left of the tool's process group to end, as far as we are
// allowed to (the install helper then cleans up after itself), and reaps
// the elevation tool in the background.
void abandon(const PrivilegedProcess& process) {
#ifndef __APPLE__
  if (process.processGroup > 0) kill(-process.processGroup, SIGTERM);
  if (process.process > 0) reapLater(process.process);
#else
  (void)process;
#endif
}

}  // namespace

std::int32_t runPrivilegedTool(const std::filesystem::path& tool, const std::vector<std::string>& arguments,
                               double limit, const PrivilegedRunnerOptions& options,
                               const PrivilegedMessageHandler& onMessage) {
  if (arguments.size() > static_cast<size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("too many arguments for a privileged tool");
  }
  std::vector<const char*> argv;
  for (const auto& a : arguments) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  PrivilegedProcess process;
  std::int32_t status = executePrivilegedWith(options.elevationTool, tool.c_str(), argv.data(),
                                              static_cast<std::int32_t>(arguments.size()), &process,
                                              options.promptLimit);
  if (status == kPrivilegedStatusCanceled) throw PrivilegedTaskError::authorizationCancelled();
  if (status == kPrivilegedStatusInteractionNotAllowed) throw PrivilegedTaskError::timedOut();
  if (status != 0) throw PrivilegedTaskError::authorizationFailed(status);

  // The time limit runs from the tool's start, not from the prompt's.
  using Clock = std::chrono::steady_clock;
  double bounded = std::isnan(limit) ? 0 : std::clamp(limit, 0.0, 1e9);
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(bounded));
  std::string text = std::move(process.pending);
  std::int32_t value = 0;
  bool answered = false;
  bool ended = false;
  for (;;) {
    if (consumeLines(text, onMessage, value)) {
      answered = true;
      break;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || ended) break;
    struct pollfd pfd = {process.pipe, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[256];
    ssize_t n = read(process.pipe, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
      continue;
    }
    // Lines are short; a longer one is nobody's.
    if (text.size() < 4096) text.append(buffer, static_cast<size_t>(n));
  }
  if (process.pipe >= 0) close(process.pipe);
  if (answered) {
#ifndef __APPLE__
    if (process.process > 0) reapLater(process.process);
#endif
    return value;
  }
  abandon(process);
  if (ended) return -1;
  throw PrivilegedTaskError::timedOut();
}

}  // namespace installer
