#include "helpers/seven_zip.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

extern char** environ;

namespace installer::helpers {

namespace {

// A symbolic link shows as "Mode = lrwxr-xr-x"; 7-Zip versions that print
// no mode show the Unix bits among the "Attributes".
bool looksLikeLink(const std::string& line) {
  auto value = line.substr(line.find('=') + 1);
  std::istringstream words(value);
  std::string word;
  while (words >> word) {
    if (word.size() == 10 && word[0] == 'l' && (word[1] == 'r' || word[1] == '-')) return true;
  }
  return false;
}

// The permission bits of "-rwxr-xr-x" (also "drwxr-xr-t", "-rwsr-x---").
std::optional<mode_t> permissionsOf(const std::string& line) {
  std::istringstream words(line.substr(line.find('=') + 1));
  std::string w;
  while (words >> w) {
    if (w.size() != 10 || std::string("-dlbcps").find(w[0]) == std::string::npos) continue;
    mode_t mode = 0;
    const char* letters = "rwxrwxrwx";
    bool ok = true;
    for (int i = 0; i < 9 && ok; ++i) {
      char c = w[static_cast<std::size_t>(i) + 1];
      bool execSlot = i % 3 == 2;
      if (c == letters[i] || (execSlot && (c == 's' || c == 't'))) {
        mode |= 1u << (8 - i);
      } else if (!(c == '-' || (execSlot && (c == 'S' || c == 'T')))) {
        ok = false;
      }
      if (execSlot && (c == 's' || c == 'S' || c == 't' || c == 'T')) mode |= i == 2 ? 04000 : i == 5 ? 02000 : 01000;
    }
    if (ok) return mode;
  }
  return std::nullopt;
}

// "2021-11-25 20:20:22.837291092" or "2015-04-13 19:09:43".
std::optional<timespec> timeOf(const std::string& value) {
  tm t{};
  int consumed = 0;
  if (std::sscanf(value.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                  &t.tm_min, &t.tm_sec, &consumed) != 6) {
    return std::nullopt;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  timespec ts{timegm(&t), 0};
  if (value[static_cast<std::size_t>(consumed)] == '.') {
    long nanos = 0;
    int digits = 0;
    for (std::size_t i = static_cast<std::size_t>(consumed) + 1; i < value.size() && digits < 9; ++i, ++digits) {
      if (value[i] < '0' || value[i] > '9') break;
      nanos = nanos * 10 + (value[i] - '0');
    }
    for (; digits < 9; ++digits) nanos *= 10;
    ts.tv_nsec = nanos;
  }
  return ts;
}

// Starts `args` with standard input from /dev/null and standard output (and,
// with `errorsToo`, standard error) into a pipe; returns the child and the
// pipe's read end, or -1 with nothing started.
pid_t spawnIntoPipe(const std::vector<std::string>& args, bool errorsToo, int pipeSize, int* readEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  if (pipeSize > 0) fcntl(fds[0], F_SETPIPE_SZ, pipeSize);
  std::vector<std::string> storage = args;
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (errorsToo) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return -1;
  }
  *readEnd = fds[0];
  return pid;
}

}  // namespace

const char* sevenZipTool() {
  // Debian's /usr/bin/7z is a shell script that starts the first one.
  for (const char* p : {"/usr/lib/p7zip/7z", "/usr/bin/7z", "/usr/bin/7za", "/usr/bin/7zz", "/usr/local/bin/7z"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return nullptr;
}

SevenZipRun runSevenZip(const std::vector<std::string>& args, const SevenZipRunOptions& options) {
  SevenZipRun result;
  int out = -1;
  pid_t pid = spawnIntoPipe(args, options.withErrors, 0, &out);
  if (pid < 0) return result;
  char buffer[65536];
  for (;;) {
    pollfd p{out, POLLIN, 0};
    int ready = poll(&p, 1, 100);
    if (ready > 0) {
      ssize_t n = read(out, buffer, sizeof buffer);
      if (n <= 0) break;
      result.output.append(buffer, static_cast<size_t>(n));
    }
    if (options.keepGoing && !options.keepGoing()) {
      kill(pid, SIGKILL);
      result.stopped = true;
      break;
    }
  }
  close(out);
  int st = 0;
  waitpid(pid, &st, 0);
  result.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return result;
}

bool listWithSevenZip(const char* tool, const std::string& archive, SevenZipListing* listing,
                      std::string* error) {
  SevenZipRun r = runSevenZip({tool, "l", "-slt", "-scsUTF-8", archive});
  if (r.status != 0) {
    *error = r.output;
    return false;
  }
  std::istringstream in(r.output);
  std::string line;
  bool entries = false;
  SevenZipItem* item = nullptr;
  while (std::getline(in, line)) {
    if (line.rfind("----------", 0) == 0) {
      entries = true;
      continue;
    }
    if (!entries) {
      if (line.rfind("Type = ", 0) == 0) listing->type = line.substr(7);
      continue;
    }
    if (line.rfind("Path = ", 0) == 0) {
      listing->items.emplace_back();
      listing->items.back().path = line.substr(7);
      item = &listing->items.back();
    } else if (!item) {
      continue;
    } else if (line == "Folder = +") {
      item->folder = true;
    } else if (line.rfind("Size = ", 0) == 0) {
      item->size = std::strtoull(line.c_str() + 7, nullptr, 10);
    } else if (line.rfind("Mode = ", 0) == 0 || line.rfind("Attributes = ", 0) == 0) {
      if (looksLikeLink(line)) item->link = true;
      if (line.rfind("Mode = d", 0) == 0) item->folder = true;
      if (auto mode = permissionsOf(line)) item->permissions = mode;
    } else if (line.rfind("Modified = ", 0) == 0) {
      item->modified = timeOf(line.substr(11));
    } else if (line.rfind("Symbolic Link = ", 0) == 0 && line.size() > 16) {
      item->linkTarget = line.substr(16);
    }
  }
  return true;
}

SevenZipStream::SevenZipStream(const std::vector<std::string>& args) {
  // A larger pipe lets 7-Zip run ahead while the listing is still read.
  int out = -1;
  pid_t pid = spawnIntoPipe(args, false, 1 << 20, &out);
  if (pid < 0) return;
  fd_ = out;
  pid_ = pid;
}

SevenZipStream::~SevenZipStream() { abandon(); }

std::size_t SevenZipStream::read(char* into, std::size_t length) {
  if (fd_ < 0) return 0;
  for (;;) {
    ssize_t n = ::read(fd_, into, length);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

long SevenZipStream::moveTo(int fd, std::size_t length) {
  if (fd_ < 0) return -1;
  for (;;) {
    ssize_t n = splice(fd_, nullptr, fd, nullptr, length, SPLICE_F_MOVE);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

bool SevenZipStream::finish() {
  if (pid_ <= 0) return false;
  char extra;
  bool ended = read(&extra, 1) == 0;
  if (!ended) kill(pid_, SIGKILL);
  close(fd_);
  fd_ = -1;
  int st = 0;
  waitpid(pid_, &st, 0);
  pid_ = -1;
  return ended && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

void SevenZipStream::abandon() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  close(fd_);
  fd_ = -1;
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace installer::helpers
