#include "package/tool_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

extern char** environ;

namespace installer {

namespace {

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

ToolResult runTool(const std::filesystem::path& executable,
                   const std::vector<std::string>& arguments) {
  const std::string path = executable.string();
  // Close-on-exec so that tools started concurrently from other threads do
  // not inherit our write end and keep the pipe open past our child's exit.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "couldn't launch " + path);
  }

  std::vector<std::string> argvStorage;
  argvStorage.reserve(arguments.size() + 1);
  argvStorage.push_back(path);
  argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argvStorage) argv.push_back(a.data());
  argv.push_back(nullptr);

  FileActions actions;
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.get(), fds[1], 1);
  posix_spawn_file_actions_adddup2(actions.get(), fds[1], 2);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, path.c_str(), actions.get(), nullptr, argv.data(), environ);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::system_error(rc, std::generic_category(), "couldn't launch " + path);
  }

  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fds[0]);

  int waitStatus = 0;
  while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  ToolResult result;
  if (WIFEXITED(waitStatus)) {
    result.status = WEXITSTATUS(waitStatus);
  } else if (WIFSIGNALED(waitStatus)) {
    result.status = 128 + WTERMSIG(waitStatus);
  } else {
    result.status = -1;
  }
  if (isValidUTF8(bytes)) result.output = std::move(bytes);
  return result;
}

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return quoted;
}

bool isValidUTF8(const std::string& bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

PackageTools PackageTools::withHelpers(const std::filesystem::path& helpersDirectory) {
  PackageTools tools;
#ifdef __APPLE__
  tools.spctl = "/usr/sbin/spctl";
  tools.hdiutil = "/usr/bin/hdiutil";
  tools.ditto = "/usr/bin/ditto";
  tools.pkgutil = "/usr/sbin/pkgutil";
  tools.xattr = "/usr/bin/xattr";
#else
  // No assessment or extended-attribute tool here: these paths do not exist,
  // so the steps that use them find no tool and go on.
  tools.spctl = "/usr/sbin/spctl";
  tools.xattr = "/usr/bin/xattr";
  tools.hdiutil = helpersDirectory / "hdiutil";
  tools.ditto = helpersDirectory / "ditto";
  tools.pkgutil = helpersDirectory / "pkgutil";
#endif
  tools.shell = "/bin/sh";
  tools.installHelper = helpersDirectory / "install-helper";
  return tools;
}

}  // namespace installer
