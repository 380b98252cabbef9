// Running instances of the target and the launch of an installed bundle.
//
// On Linux a process is an instance of a bundle when its executable lies in
// `X.app/Contents/MacOS/` (for a script: when its interpreter's first
// argument does); its identifier is X.app's CFBundleIdentifier. Found by a
// scan of /proc that considers only processes of one user (this process's
// real user by default): another user's process, whatever it runs, is
// none of ours. Any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace installer {

// A handle on a running instance; a plain value (the process may exit at
// any time, after which the calls below fail harmlessly).
struct RunningApplication {
  pid_t processIdentifier = 0;
  std::filesystem::path bundleURL;
  std::string bundleIdentifier;

  // Asks the process to quit (SIGTERM). False when it could not be sent.
  bool terminate() const;
  // True while the process exists (a zombie counts as gone).
  bool isRunning() const;
};

// The first running instance of `bundleIdentifier` whose real user is
// `owner` (this process's by default), other than the process
// `excludedProcess` (this process by default); absent for an empty
// identifier or when there is none.
std::optional<RunningApplication> runningTarget(const std::string& bundleIdentifier);
std::optional<RunningApplication> runningTarget(const std::string& bundleIdentifier,
                                                pid_t excludedProcess);
std::optional<RunningApplication> runningTarget(const std::string& bundleIdentifier,
                                                pid_t excludedProcess, uid_t owner);

// The bundle directory (ending in ".app") that `file` lies in as
// `X.app/Contents/MacOS/<name>`; absent otherwise.
std::optional<std::filesystem::path> bundleOfExecutable(const std::filesystem::path& file);

// Starts the bundle's Contents/MacOS/<CFBundleExecutable> detached in a
// session of its own, with the arguments "--StartUpArgs" and `startUpArgs`
// when `startUpArgs` is not empty and none otherwise. True once the program
// has started; false when the bundle has no executable or it cannot be
// started within `limit`.
bool launchApplication(const std::filesystem::path& bundle, const std::string& startUpArgs,
                       std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace installer
