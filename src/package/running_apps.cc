#include "package/running_apps.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/bundle.h"
#include "platform/dispatch.h"

extern char** environ;

namespace installer {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> commandLine(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string raw = ss.str();
  std::vector<std::string> args;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    args.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

// The bundle a process runs from: its executable's, else (an interpreter
// running a script) its first argument's.
std::optional<fs::path> bundleOfProcess(pid_t pid) {
  std::error_code ec;
  fs::path proc = "/proc/" + std::to_string(pid);
  fs::path exe = fs::read_symlink(proc / "exe", ec);
  if (!ec) {
    if (auto b = bundleOfExecutable(exe)) return b;
  }
  auto args = commandLine(pid);
  if (args.size() < 2 || args[1].empty()) return std::nullopt;
  fs::path script = args[1];
  if (script.is_relative()) {
    fs::path cwd = fs::read_symlink(proc / "cwd", ec);
    if (ec) return std::nullopt;
    script = cwd / script;
  }
  return bundleOfExecutable(script.lexically_normal());
}

// The process's real user, from its status; absent when it cannot be read.
std::optional<uid_t> realUserOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) != 0) continue;
    std::istringstream fields(line.substr(4));
    unsigned long uid = 0;
    if (fields >> uid) return static_cast<uid_t>(uid);
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

bool RunningApplication::terminate() const {
  return processIdentifier > 0 && kill(processIdentifier, SIGTERM) == 0;
}

bool RunningApplication::isRunning() const {
  if (processIdentifier <= 0) return false;
  std::ifstream in("/proc/" + std::to_string(processIdentifier) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return false;
  char state = line[close + 2];
  return state != 'Z' && state != 'X';
}

std::optional<fs::path> bundleOfExecutable(const fs::path& file) {
  fs::path macos = file.parent_path();
  fs::path contents = macos.parent_path();
  fs::path bundle = contents.parent_path();
  if (macos.filename() != "MacOS" || contents.filename() != "Contents") return std::nullopt;
  if (bundle.extension() != ".app") return std::nullopt;
  return bundle;
}

std::optional<RunningApplication> runningTarget(const std::string& bundleIdentifier) {
  return runningTarget(bundleIdentifier, getpid());
}

std::optional<RunningApplication> runningTarget(const std::string& bundleIdentifier,
                                                pid_t excludedProcess) {
  return runningTarget(bundleIdentifier, excludedProcess, getuid());
}

std::optional<RunningApplication> runningTarget(const std::string& bundleIdentifier,
                                                pid_t excludedProcess, uid_t owner) {
  if (bundleIdentifier.empty()) return std::nullopt;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), closedir);
  if (!dir) return std::nullopt;
  std::map<fs::path, std::string> identifiers;  // bundles met during this scan
  std::vector<pid_t> pids;
  while (struct dirent* e = readdir(dir.get())) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != 0 || pid <= 0) continue;
    pids.push_back(static_cast<pid_t>(pid));
  }
  std::sort(pids.begin(), pids.end());
  for (pid_t pid : pids) {
    if (pid == excludedProcess || realUserOf(pid) != owner) continue;
    auto bundle = bundleOfProcess(pid);
    if (!bundle) continue;
    auto known = identifiers.find(*bundle);
    if (known == identifiers.end()) {
      auto opened = platform::Bundle::open(*bundle);
      known = identifiers.emplace(*bundle, opened ? opened->identifier() : "").first;
    }
    if (known->second.empty() || known->second != bundleIdentifier) continue;
    RunningApplication app{pid, *bundle, known->second};
    if (app.isRunning()) return app;
  }
  return std::nullopt;
}

bool launchApplication(const fs::path& bundlePath, const std::string& startUpArgs,
                       std::chrono::milliseconds limit) {
  auto bundle = platform::Bundle::open(bundlePath);
  if (!bundle) return false;
  auto executable = bundle->executablePath();
  if (!executable) return false;

  std::vector<std::string> storage = {executable->string()};
  if (!startUpArgs.empty()) {
    storage.push_back("--StartUpArgs");
    storage.push_back(startUpArgs);
  }

  // The start runs on a thread of its own, which then reaps the program when
  // it exits; a start that hangs (an unresponsive file system) cannot hold
  // the caller past the limit.
  struct Outcome {
    platform::Semaphore done;
    bool started = false;
  };
  auto outcome = std::make_shared<Outcome>();
  std::thread([outcome, storage]() mutable {
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    outcome->started = rc == 0;
    outcome->done.signal();
    if (rc == 0) {
      // The application is ours to reap; it lives on by itself otherwise.
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }).detach();
  if (!outcome->done.waitFor(limit)) return false;
  return outcome->started;
}

}  // namespace installer
