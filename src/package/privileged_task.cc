#include "package/privileged_task.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifdef __APPLE__
#include <Security/Authorization.h>
#include <Security/AuthorizationTags.h>
#endif

#include "package/tool_runner.h"
#include "platform/system_info.h"

extern char** environ;

namespace {

// Written by the elevated shell once it runs, before it lets go of the pipe.
constexpr char kStartedMarker[] = "qx-privileged-started";

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
                                   const char* const* arguments, std::int32_t count) {
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
      status = AuthorizationExecuteWithPrivileges(ref, toolPath, kAuthorizationFlagDefaults,
                                                  argv.items, nullptr);
#pragma clang diagnostic pop
    }
  }
  AuthorizationFree(ref, kAuthorizationFlagDestroyRights);
  return status;
}
#else
std::int32_t executePrivilegedWith(const std::filesystem::path& elevationTool, const char* toolPath,
                                   const char* const* arguments, std::int32_t count) {
  if (toolPath == nullptr) return kPrivilegedStatusInvalidRef;
  ArgumentVector copies;
  if (!copies.fill(arguments, count)) return kPrivilegedStatusInternal;
  if (access(elevationTool.c_str(), X_OK) != 0) return kPrivilegedStatusToolExecuteFailure;

  // The elevated program is a shell that announces itself on our pipe, lets
  // go of every descriptor it shares with us and becomes the tool.
  std::vector<std::string> storage = {
      elevationTool.string(), "/bin/sh", "-c",
      std::string("printf '%s\\n' ") + kStartedMarker +
          "; exec </dev/null >/dev/null 2>&1; exec \"$@\"",
      "qx-privileged", toolPath};
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
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return kPrivilegedStatusToolExecuteFailure;
  }

  std::string seen;
  bool started = false;
  char buffer[512];
  while (!started) {
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
    started = seen.find(kStartedMarker) != std::string::npos;
  }
  close(fds[0]);
  if (started) {
    reapLater(pid);
    return kPrivilegedStatusSuccess;
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

std::int32_t runPrivilegedCommand(const std::vector<std::string>& arguments,
                                  const PrivilegedRunnerOptions& options) {
  if (arguments.size() > static_cast<size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("too many arguments for a privileged command");
  }
  std::vector<const char*> argv;
  for (const auto& a : arguments) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return executePrivilegedWith(options.elevationTool, "/bin/sh", argv.data(),
                               static_cast<std::int32_t>(arguments.size()));
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

std::int32_t runPrivilegedScript(const std::string& script, double limit,
                                 const PrivilegedRunnerOptions& options) {
  namespace fs = std::filesystem;
  fs::path tmp = options.temporaryDirectory.empty() ? platform::temporaryDirectory()
                                                    : options.temporaryDirectory;
  fs::path statusFile = tmp / ("qx-privileged-" + platform::makeUUID() + ".status");
  std::string command = script + "; echo $? > " + shellQuote(statusFile.string());

  std::int32_t status = runPrivilegedCommand({"-c", command}, options);
  if (status == kPrivilegedStatusCanceled) throw PrivilegedTaskError::authorizationCancelled();
  if (status != 0) throw PrivilegedTaskError::authorizationFailed(status);

  using Clock = std::chrono::steady_clock;
  // Bounded so that an absurd limit cannot overflow the clock arithmetic.
  double bounded = std::min(limit, 1e9);
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(bounded));
  std::error_code ec;
  while (Clock::now() < deadline) {
    std::ifstream in(statusFile, std::ios::binary);
    if (in) {
      std::stringstream text;
      text << in.rdbuf();
      std::int32_t value = 0;
      if (isValidUTF8(text.str()) && parseStatusText(text.str(), value)) {
        in.close();
        fs::remove(statusFile, ec);
        return value;
      }
    }
    std::this_thread::sleep_for(options.pollInterval);
  }
  fs::remove(statusFile, ec);
  throw PrivilegedTaskError::timedOut();
}

}  // namespace installer
