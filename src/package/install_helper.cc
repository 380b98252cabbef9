#include "package/install_helper.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "package/desktop_entry.h"
#include "package/no_follow.h"
#include "package/privileged_task.h"
#include "platform/plist.h"

namespace installer {

namespace fs = std::filesystem;

namespace {

// Marks the entries this program writes, with the bundle they open.
constexpr char kEntryOwnerKey[] = "X-Installed-Bundle=";

constexpr std::size_t kMaxName = 255;
constexpr std::size_t kMaxLinkTarget = 4095;
constexpr std::size_t kMaxDepth = 128;
constexpr std::size_t kMaxInfoPlist = 4u << 20;
constexpr std::size_t kMaxEntryFile = 64u << 10;

using Clock = std::chrono::steady_clock;

// Set by SIGTERM, SIGINT and SIGHUP: the run ends at its next step and
// cleans up after itself.
volatile sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

// What ends a run early: the exit status and the reason said on the pipe.
struct Stop {
  int status;
  std::string text;
};

[[noreturn]] void stop(int status, std::string text) { throw Stop{status, std::move(text)}; }

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool hasControlCharacter(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

bool normalisedAbsolute(const std::string& s) {
  if (s.empty() || s.front() != '/' || hasControlCharacter(s)) return false;
  if (s == "/") return true;
  if (s.back() == '/' || s.find("//") != std::string::npos) return false;
  for (const auto& part : fs::path(s).relative_path()) {
    if (part == "." || part == "..") return false;
  }
  return true;
}

bool parseNumber(const std::string& s, std::uint64_t max, std::uint64_t& value) {
  if (s.empty() || s.size() > 19) return false;
  value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value <= max;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// The status pipe to the runner. Every write is checked; a closed pipe
// means the runner is gone.
class StatusPipe {
 public:
  explicit StatusPipe(int fd) : fd_(fd) {}
  void say(const std::string& line) {
    if (!sayQuietly(line)) stop(kHelperRunnerGone, "");
  }
  bool sayQuietly(const std::string& line) {
    std::string text = line;
    if (text.empty() || text.back() != '\n') text += '\n';
    std::size_t at = 0;
    while (at < text.size()) {
      ssize_t n = write(fd_, text.data() + at, text.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      at += static_cast<std::size_t>(n);
    }
    return true;
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// The clock and the runner, asked between steps.
class Watch {
 public:
  Watch(Clock::time_point deadline, int statusFd) : deadline_(deadline), statusFd_(statusFd) {}
  void check() const {
    if (stopRequested) stop(kHelperRunnerGone, "");
    if (Clock::now() >= deadline_) stop(kHelperTimedOut, "time limit reached");
    if (runnerGone()) stop(kHelperRunnerGone, "");
  }
  bool runnerGone() const {
    struct pollfd p = {statusFd_, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL));
  }
  // Milliseconds left, at least 0.
  int left() const {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
  }
  int statusFd() const { return statusFd_; }

 private:
  Clock::time_point deadline_;
  int statusFd_;
};

// Owners a folder on the way may have: root, and this program's own user
// (the same when it runs as root).
bool trustedOwner(uid_t uid) { return uid == 0 || uid == geteuid(); }

// Whether the ACL in `fd`'s access attribute grants write to a named user,
// the owning group or a named group.
bool aclGrantsWrite(int fd) {
  char buffer[4096];
  ssize_t n = fgetxattr(fd, "system.posix_acl_access", buffer, sizeof buffer);
  if (n < 0) return errno == ERANGE;  // too long to be ours to judge
  // A version word, then entries of a 16-bit tag, 16-bit permissions and a
  // 32-bit id, little-endian.
  constexpr std::uint16_t kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kWrite = 0x02;
  if (n < 4) return false;
  for (ssize_t at = 4; at + 8 <= n; at += 8) {
    std::uint16_t tag = static_cast<std::uint16_t>(static_cast<unsigned char>(buffer[at]) |
                                                   static_cast<unsigned char>(buffer[at + 1]) << 8);
    std::uint16_t perm = static_cast<std::uint16_t>(static_cast<unsigned char>(buffer[at + 2]) |
                                                    static_cast<unsigned char>(buffer[at + 3]) << 8);
    if ((tag == kUser || tag == kGroupObj || tag == kGroup) && (perm & kWrite)) return true;
  }
  return false;
}

// Why a folder open at `fd` (at `path`) is no safe way in; empty when it is.
// `stickyRootOk`: a root-owned sticky folder above the last counts as safe,
// since no one but an entry's owner may rename or remove it there.
std::string wayInProblem(int fd, const std::string& path, bool stickyRootOk) {
  struct stat st;
  if (fstat(fd, &st) != 0) return path + " cannot be inspected";
  if (!trustedOwner(st.st_uid)) return path + " is not owned by root";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    if (!(stickyRootOk && st.st_uid == 0 && (st.st_mode & S_ISVTX))) {
      return path + " is writable by users other than root";
    }
  }
  if (aclGrantsWrite(fd)) return path + " has an ACL that grants write";
  return "";
}

// Opens `name` in `dirFd`, made 0755 first when missing, as a folder.
int openOrMakeDirectory(int dirFd, const std::string& name) {
  int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  if (mkdirat(dirFd, name.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  return openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens the folder `path` from "/", component by component, making missing
// ones, and checks each on the way. Throws Stop with `status`.
Fd openWayIn(const fs::path& path, int status) {
  Fd at(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (at.get() < 0) stop(status, errnoText("/"));
  std::vector<std::string> parts;
  for (const auto& part : path.relative_path()) parts.push_back(part.string());
  std::string walked = "/";
  for (std::size_t i = 0;; ++i) {
    bool last = i == parts.size();
    std::string problem = wayInProblem(at.get(), walked, !last);
    if (!problem.empty()) stop(status, problem);
    if (last) return at;
    Fd next(openOrMakeDirectory(at.get(), parts[i]));
    walked = (fs::path(walked) / parts[i]).string();
    if (next.get() < 0) {
      stop(status, errno == ELOOP || errno == ENOTDIR ? walked + " is not a real folder" : errnoText(walked));
    }
    at = std::move(next);
  }
}

std::string randomName(const char* prefix) {
  static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[10];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    for (auto& b : bytes) b = static_cast<unsigned char>(std::rand());
  }
  std::string name = prefix;
  for (unsigned char b : bytes) name += letters[b % (sizeof letters - 1)];
  return name;
}

// Removes everything below the folder `dirFd` and then `name` in `parentFd`,
// following no link. Best effort.
void removeTreeAt(int parentFd, const std::string& name) {
  int fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    unlinkat(parentFd, name.c_str(), 0);
    return;
  }
  for (const std::string& child : listBeneath(fd, "")) {
    struct stat st;
    if (fstatat(fd, child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      removeTreeAt(fd, child);
    } else {
      unlinkat(fd, child.c_str(), 0);
    }
  }
  close(fd);
  unlinkat(parentFd, name.c_str(), AT_REMOVEDIR);
}

mode_t maskedMode(std::uint32_t mode, bool directory) {
  mode_t m = static_cast<mode_t>(mode) & 0755;
  m |= S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
  if (directory || (mode & 0111)) m |= S_IXUSR | S_IXGRP | S_IXOTH;
  return m;
}

// ----- the stream between the user's reader and root ------------------------------
//
// Records: 'D' mode name (a folder, entered), 'U' (leave it), 'F' mode name
// size bytes, 'L' name target, 'E' (the end), 'X' text (the reader's
// refusal). Numbers are 32 or 64 bits in host order, texts length-prefixed.

class Writer {
 public:
  explicit Writer(int fd) : fd_(fd) {}
  void put(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      ssize_t n = write(fd_, p, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(1);
      p += n;
      size -= static_cast<std::size_t>(n);
    }
  }
  void byte(char c) { put(&c, 1); }
  void u32(std::uint32_t v) { put(&v, sizeof v); }
  void u64(std::uint64_t v) { put(&v, sizeof v); }
  void text(const std::string& s) {
    u32(static_cast<std::uint32_t>(s.size()));
    put(s.data(), s.size());
  }

 private:
  int fd_;
};

[[noreturn]] void refuseInReader(Writer& out, const std::string& text) {
  out.byte('X');
  out.text(text);
  _exit(0);
}

void streamDirectory(Writer& out, int dirFd, const std::string& shown, std::size_t depth) {
  if (depth > kMaxDepth) refuseInReader(out, shown + " is nested too deeply");
  for (const std::string& name : listBeneath(dirFd, "")) {
    std::string path = shown + "/" + name;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) refuseInReader(out, errnoText(path));
    if (S_ISDIR(st.st_mode)) {
      int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) refuseInReader(out, errnoText(path));
      out.byte('D');
      out.u32(st.st_mode & 07777);
      out.text(name);
      streamDirectory(out, fd, path, depth + 1);
      close(fd);
      out.byte('U');
    } else if (S_ISREG(st.st_mode)) {
      int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      struct stat opened;
      if (fd < 0 || fstat(fd, &opened) != 0) refuseInReader(out, errnoText(path));
      if (!S_ISREG(opened.st_mode)) refuseInReader(out, path + " changed while it was read");
      out.byte('F');
      out.u32(opened.st_mode & 07777);
      out.text(name);
      auto size = static_cast<std::uint64_t>(opened.st_size);
      out.u64(size);
      char buffer[65536];
      std::uint64_t left = size;
      while (left > 0) {
        ssize_t n = read(fd, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof buffer)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(1);  // shrank: root sees the stream end early
        out.put(buffer, static_cast<std::size_t>(n));
        left -= static_cast<std::uint64_t>(n);
      }
      close(fd);
    } else if (S_ISLNK(st.st_mode)) {
      char target[kMaxLinkTarget + 2];
      ssize_t n = readlinkat(dirFd, name.c_str(), target, sizeof target);
      if (n <= 0 || static_cast<std::size_t>(n) > kMaxLinkTarget) refuseInReader(out, path + " is no usable link");
      out.byte('L');
      out.text(name);
      out.text(std::string(target, static_cast<std::size_t>(n)));
    } else {
      refuseInReader(out, path + " is neither a folder, a file nor a link");
    }
  }
}

// Becomes `uid` (with its groups), checked; false when any step fails.
bool becomeUser(uid_t uid) {
  if (geteuid() != 0) return getuid() == uid && geteuid() == uid;
  struct passwd* pw = getpwuid(uid);
  if (!pw) return false;
  gid_t gid = pw->pw_gid;
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (getgrouplist(pw->pw_name, gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(pw->pw_name, gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<std::size_t>(count));
  if (setgroups(groups.size(), groups.data()) != 0) return false;
  if (setresgid(gid, gid, gid) != 0) return false;
  if (setresuid(uid, uid, uid) != 0) return false;
  uid_t r, e, s;
  gid_t rg, eg, sg;
  if (getresuid(&r, &e, &s) != 0 || r != uid || e != uid || s != uid) return false;
  if (getresgid(&rg, &eg, &sg) != 0 || rg != gid || eg != gid || sg != gid) return false;
  return uid == 0 || setuid(0) != 0;  // no way back
}

// The child: drops to the user, then streams `source`. Never returns.
[[noreturn]] void readAsUser(uid_t uid, const fs::path& source, int outFd) {
  // Nothing of root's but the pipe stays open here.
  if (dup2(outFd, 3) < 0) _exit(1);
  close_range(4, ~0U, 0);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0) _exit(1);
  signal(SIGPIPE, SIG_DFL);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) signal(s, SIG_DFL);
  Writer out(3);
  if (!becomeUser(uid)) refuseInReader(out, "cannot become the installing user");
  int fd = openDirectoryNoFollow(source);
  if (fd < 0) {
    refuseInReader(out, source.string() + (errno == ELOOP || errno == ENOTDIR ? " is reached through a link"
                                                                                : ": " + std::string(std::strerror(errno))));
  }
  struct stat st;
  if (fstat(fd, &st) != 0) refuseInReader(out, errnoText(source.string()));
  out.byte('D');
  out.u32(st.st_mode & 07777);
  out.text("app");
  streamDirectory(out, fd, source.string(), 0);
  out.byte('U');
  out.byte('E');
  _exit(0);
}

class Reader {
 public:
  Reader(int fd, const Watch& watch) : fd_(fd), watch_(watch) {}
  void get(void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
      if (at_ == end_) fill();
      std::size_t n = std::min(size, end_ - at_);
      std::memcpy(p, buffer_ + at_, n);
      at_ += n;
      p += n;
      size -= n;
    }
  }
  char byte() {
    char c;
    get(&c, 1);
    return c;
  }
  std::uint32_t u32() {
    std::uint32_t v;
    get(&v, sizeof v);
    return v;
  }
  std::uint64_t u64() {
    std::uint64_t v;
    get(&v, sizeof v);
    return v;
  }
  std::string text(std::size_t max) {
    std::uint32_t n = u32();
    if (n > max) stop(kHelperSourceRefused, "the copy stream is malformed");
    std::string s(n, '\0');
    get(s.data(), n);
    return s;
  }
  // Hands up to `max` buffered or fresh bytes to `sink`.
  std::size_t chunk(std::size_t max, const std::function<void(const char*, std::size_t)>& sink) {
    if (at_ == end_) fill();
    std::size_t n = std::min(max, end_ - at_);
    sink(buffer_ + at_, n);
    at_ += n;
    return n;
  }

 private:
  void fill() {
    for (;;) {
      watch_.check();
      struct pollfd p[2] = {{fd_, POLLIN, 0}, {watch_.statusFd(), 0, 0}};
      int ready = poll(p, 2, std::min(watch_.left(), 1000));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) continue;
      if (p[1].revents & (POLLERR | POLLHUP | POLLNVAL)) stop(kHelperRunnerGone, "");
      if (!p[0].revents) continue;
      ssize_t n = read(fd_, buffer_, sizeof buffer_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) stop(kHelperSourceRefused, "the source could not be read to its end");
      at_ = 0;
      end_ = static_cast<std::size_t>(n);
      return;
    }
  }
  int fd_;
  const Watch& watch_;
  char buffer_[65536];
  std::size_t at_ = 0, end_ = 0;
};

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) stop(kHelperCopyFailed, errnoText("write"));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

bool usableName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxName && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

struct Bounds {
  std::uint64_t bytes;
  std::uint64_t entries;
};

// Builds the streamed tree as "app" inside `stageFd`.
void receiveTree(Reader& in, int stageFd, const Bounds& bounds) {
  struct Open {
    Fd fd;
    mode_t mode;
  };
  std::vector<Open> stack;
  std::uint64_t bytes = 0, entries = 0;
  auto current = [&] { return stack.empty() ? stageFd : stack.back().fd.get(); };
  auto count = [&] {
    if (++entries > bounds.entries) stop(kHelperTooLarge, "the source holds more entries than were unpacked");
  };
  for (;;) {
    char kind = in.byte();
    if (kind == 'E') {
      if (!stack.empty()) break;
      return;
    }
    if (kind == 'X') stop(kHelperSourceRefused, in.text(4096));
    if (kind == 'U') {
      if (stack.empty()) break;
      if (fchmod(stack.back().fd.get(), stack.back().mode) != 0) stop(kHelperCopyFailed, errnoText("chmod"));
      stack.pop_back();
      continue;
    }
    if (kind == 'D' || kind == 'F') {
      std::uint32_t mode = in.u32();
      std::string name = in.text(kMaxName);
      if (!usableName(name) || (stack.empty() && (kind != 'D' || name != "app"))) break;
      count();
      if (kind == 'D') {
        if (stack.size() > kMaxDepth) break;
        if (mkdirat(current(), name.c_str(), 0700) != 0) stop(kHelperCopyFailed, errnoText(name));
        Fd fd(openat(current(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0) stop(kHelperCopyFailed, errnoText(name));
        stack.push_back({std::move(fd), maskedMode(mode, true)});
        continue;
      }
      std::uint64_t size = in.u64();
      if (size > bounds.bytes - bytes) stop(kHelperTooLarge, "the source holds more bytes than were unpacked");
      bytes += size;
      Fd fd(openat(current(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (fd.get() < 0) stop(kHelperCopyFailed, errnoText(name));
      while (size > 0) {
        size -= in.chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, SIZE_MAX)),
                         [&](const char* p, std::size_t n) { writeAll(fd.get(), p, n); });
      }
      if (fchmod(fd.get(), maskedMode(mode, false)) != 0) stop(kHelperCopyFailed, errnoText("chmod"));
      continue;
    }
    if (kind == 'L') {
      std::string name = in.text(kMaxName);
      std::string target = in.text(kMaxLinkTarget);
      if (stack.empty() || !usableName(name) || target.empty() || target.find('\0') != std::string::npos) break;
      count();
      if (symlinkat(target.c_str(), current(), name.c_str()) != 0) stop(kHelperCopyFailed, errnoText(name));
      continue;
    }
    break;
  }
  stop(kHelperSourceRefused, "the copy stream is malformed");
}

// ----- the desktop entry ---------------------------------------------------------

// An existing entry of `name` in the data folder `dataDir` that this
// program did not write for `destination`; empty when there is none.
std::string foreignEntry(const fs::path& dataDir, const std::string& name, const fs::path& destination) {
  Fd dir(openDirectoryNoFollow(dataDir / "applications"));
  if (dir.get() < 0) {
    return errno == ENOENT ? "" : (dataDir / "applications").string() + " cannot be inspected";
  }
  struct stat st;
  if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? "" : (dataDir / "applications" / name).string() + " cannot be inspected";
  }
  auto text = readBeneath(dir.get(), name, kMaxEntryFile);
  std::string mark = std::string("\n") + kEntryOwnerKey + destination.string() + "\n";
  if (text && ("\n" + *text).find(mark) != std::string::npos) return "";
  return (dataDir / "applications" / name).string() + " belongs to another application";
}

// Opens (making it 0755 when missing) each folder of `relative` below
// `dirFd`, checked like the way in.
Fd openCheckedBelow(int dirFd, const fs::path& shown, const std::string& relative) {
  Fd at(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
  fs::path walked = shown;
  for (const auto& part : fs::path(relative)) {
    Fd next(openOrMakeDirectory(at.get(), part.string()));
    walked /= part;
    if (next.get() < 0) stop(kHelperUnsafeWayIn, walked.string() + " is not a real folder");
    std::string problem = wayInProblem(next.get(), walked.string(), false);
    if (!problem.empty()) stop(kHelperUnsafeWayIn, problem);
    at = std::move(next);
  }
  return at;
}

void writeFileIn(int dirFd, const std::string& name, const std::string& bytes) {
  std::string temporary = randomName(".qx-entry-");
  Fd fd(openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) stop(kHelperCopyFailed, errnoText(name));
  try {
    writeAll(fd.get(), bytes.data(), bytes.size());
    if (fchmod(fd.get(), 0644) != 0 || renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) != 0) {
      stop(kHelperCopyFailed, errnoText(name));
    }
  } catch (...) {
    unlinkat(dirFd, temporary.c_str(), 0);
    throw;
  }
}

void writeSystemEntry(const DesktopEntryContent& entry, const fs::path& dataDir, int dataFd) {
  Fd applications = openCheckedBelow(dataFd, dataDir, "applications");
  for (int size : desktopIconSizes()) {
    std::string folder = "icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) + "/apps";
    auto icon = entry.icons.find(size);
    std::string name = entry.identifier + ".png";
    if (icon != entry.icons.end()) {
      writeFileIn(openCheckedBelow(dataFd, dataDir, folder).get(), name, icon->second);
    } else if (Fd old(openBeneath(dataFd, folder, true)); old.get() >= 0) {
      // An earlier version's icon at a size this one lacks would win the lookup.
      struct stat st;
      if (fstatat(old.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
        unlinkat(old.get(), name.c_str(), 0);
      }
    }
  }
  writeFileIn(applications.get(), entry.identifier + ".desktop", entry.text);
}

void refreshDatabase(const fs::path& applications) {
  const char* tool = "/usr/bin/update-desktop-database";
  if (access(tool, X_OK) != 0) return;
  std::string dir = applications.string();
  char* argv[] = {const_cast<char*>(tool), const_cast<char*>("-q"), dir.data(), nullptr};
  char* envp[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  if (posix_spawn(&pid, tool, &actions, nullptr, argv, envp) == 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawn_file_actions_destroy(&actions);
}

// ----- the run ----------------------------------------------------------------

class Run {
 public:
  Run(const InstallHelperRequest& request, StatusPipe& pipe, const Watch& watch)
      : request_(request), pipe_(pipe), watch_(watch) {}
  ~Run() {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      reap();
    }
    if (!stageName_.empty()) removeTreeAt(parent_.get(), stageName_);
  }

  void go() {
    uid_t user = invokingUser();
    parent_ = openWayIn(request_.destination.parent_path(), kHelperUnsafeWayIn);
    watch_.check();
    makeStage();
    pipe_.say("copying");
    copyAsUser(user);
    Fd app(openat(stage_.get(), "app", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (app.get() < 0) stop(kHelperCopyFailed, errnoText("staged copy"));
    checkBundle(app.get());
    std::optional<DesktopEntryContent> entry;
    if (!request_.dataDirectory.empty()) {
      entry = composeDesktopEntry(app.get(), request_.destination, false, entryOwnerLine());
    }
    watch_.check();
    pipe_.say("swapping");
    swap();
    pipe_.sayQuietly("installed");
    if (entry) installEntry(*entry);
  }

 private:
  uid_t invokingUser() {
    const char* text = std::getenv("PKEXEC_UID");
    std::uint64_t uid = 0;
    if (text && parseNumber(text, UINT32_MAX - 1, uid)) return static_cast<uid_t>(uid);
    if (geteuid() != 0) return getuid();
    stop(kHelperBadArguments, "no invoking user (PKEXEC_UID)");
  }

  void makeStage() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = randomName(".qx-stage-");
      if (mkdirat(parent_.get(), name.c_str(), 0700) == 0) {
        stageName_ = name;
        stage_ = Fd(openat(parent_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (stage_.get() < 0) stop(kHelperCopyFailed, errnoText("staging folder"));
        return;
      }
      if (errno != EEXIST) break;
    }
    stop(kHelperCopyFailed, errnoText("staging folder"));
  }

  void copyAsUser(uid_t user) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) stop(kHelperCopyFailed, errnoText("pipe"));
    Fd readEnd(fds[0]), writeEnd(fds[1]);
    child_ = fork();
    if (child_ < 0) stop(kHelperCopyFailed, errnoText("fork"));
    if (child_ == 0) readAsUser(user, request_.source, writeEnd.get());
    writeEnd.reset();
    Reader in(readEnd.get(), watch_);
    auto margin = [](std::uint64_t n, std::uint64_t extra) {
      return n > (UINT64_MAX - extra) / 2 ? UINT64_MAX : n + n / 8 + extra;
    };
    receiveTree(in, stage_.get(), Bounds{margin(request_.bytes, 1u << 20), margin(request_.entries, 16)});
    int status = reap();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) stop(kHelperSourceRefused, "the source reader failed");
  }

  int reap() {
    int status = 0;
    while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = 0;
    return status;
  }

  void checkBundle(int appFd) {
    auto info = readBeneath(appFd, "Contents/Info.plist", kMaxInfoPlist);
    if (!info) stop(kHelperNotABundle, "the copy has no Contents/Info.plist");
    auto dict = platform::parsePlistDict(*info);
    if (!dict) stop(kHelperNotABundle, "the copy's Info.plist cannot be read");
    auto it = dict->find("CFBundleExecutable");
    if (it == dict->end() || !it->second.isString() || it->second.string()->empty()) {
      stop(kHelperNotABundle, "the copy's Info.plist names no CFBundleExecutable");
    }
  }

  void swap() {
    std::string name = request_.destination.filename().string();
    struct stat st;
    bool present = fstatat(parent_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!present && errno != ENOENT) stop(kHelperSwapFailed, errnoText(request_.destination.string()));
    unsigned flags = present ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (renameat2(stage_.get(), "app", parent_.get(), name.c_str(), flags) != 0) {
      stop(kHelperSwapFailed, errnoText(request_.destination.string()));
    }
    // The stage now holds the old copy, if any; the destructor removes it.
  }

  std::string entryOwnerLine() const { return std::string(kEntryOwnerKey) + request_.destination.string() + "\n"; }

  void installEntry(const DesktopEntryContent& entry) {
    try {
      Fd data = openWayIn(request_.dataDirectory, kHelperUnsafeWayIn);
      std::string name = entry.identifier + ".desktop";
      std::vector<fs::path> folders = {request_.dataDirectory};
      for (const auto& d : standardDataDirectories()) folders.push_back(d);
      for (const auto& d : request_.otherDataDirectories) folders.push_back(d);
      for (const auto& folder : folders) {
        std::string problem = foreignEntry(folder, name, request_.destination);
        if (!problem.empty()) stop(kHelperUnsafeWayIn, problem);
      }
      writeSystemEntry(entry, request_.dataDirectory, data.get());
      pipe_.sayQuietly("entry " + (request_.dataDirectory / "applications" / name).string());
      refreshDatabase(request_.dataDirectory / "applications");
    } catch (const Stop& s) {
      pipe_.sayQuietly("entry refused: " + s.text);
    } catch (const std::exception& e) {
      pipe_.sayQuietly(std::string("entry refused: ") + e.what());
    }
  }

  const InstallHelperRequest& request_;
  StatusPipe& pipe_;
  const Watch& watch_;
  Fd parent_;
  Fd stage_;
  std::string stageName_;
  pid_t child_ = 0;
};

}  // namespace

const std::vector<fs::path>& standardDataDirectories() {
  static const std::vector<fs::path> folders = {"/usr/local/share", "/usr/share",
                                                "/var/lib/flatpak/exports/share", "/var/lib/snapd/desktop"};
  return folders;
}

std::vector<std::string> installHelperArguments(const InstallHelperRequest& r) {
  std::vector<std::string> args = {"install",
                                   r.source.string(),
                                   r.destination.string(),
                                   r.dataDirectory.empty() ? "-" : r.dataDirectory.string(),
                                   std::to_string(r.bytes),
                                   std::to_string(r.entries),
                                   std::to_string(r.milliseconds)};
  for (const auto& d : r.otherDataDirectories) args.push_back(d.string());
  return args;
}

std::optional<InstallHelperRequest> parseInstallHelperArguments(const std::vector<std::string>& a,
                                                                std::string& why) {
  if (a.size() < 7 || a.size() > 7 + 16 || a[0] != "install") {
    why = "usage: install-helper install SOURCE DESTINATION DATA_DIR BYTES ENTRIES MILLISECONDS [DATA_DIR...]";
    return std::nullopt;
  }
  InstallHelperRequest r;
  for (std::size_t i : {1u, 2u}) {
    if (!normalisedAbsolute(a[i]) || a[i] == "/") {
      why = "not an absolute normalised path: " + a[i];
      return std::nullopt;
    }
  }
  r.source = a[1];
  r.destination = a[2];
  std::string last = r.destination.filename().string();
  if (last.size() < 5 || last.compare(last.size() - 4, 4, ".app") != 0 || r.destination.parent_path() == "/") {
    why = "not an application folder below a folder: " + a[2];
    return std::nullopt;
  }
  if (a[3] != "-") {
    if (!normalisedAbsolute(a[3])) {
      why = "not an absolute normalised path: " + a[3];
      return std::nullopt;
    }
    r.dataDirectory = a[3];
  }
  std::uint64_t ms = 0;
  if (!parseNumber(a[4], UINT64_MAX / 4, r.bytes) || !parseNumber(a[5], UINT32_MAX, r.entries) ||
      !parseNumber(a[6], 1000ull * 60 * 60 * 24, ms)) {
    why = "not a number in range";
    return std::nullopt;
  }
  r.milliseconds = static_cast<std::int64_t>(ms);
  for (std::size_t i = 7; i < a.size(); ++i) {
    if (!normalisedAbsolute(a[i])) {
      why = "not an absolute normalised path: " + a[i];
      return std::nullopt;
    }
    r.otherDataDirectories.emplace_back(a[i]);
  }
  return r;
}

int runInstallHelper(const std::vector<std::string>& arguments, int statusFd) {
  auto start = Clock::now();
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action = {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
  umask(022);
  StatusPipe pipe(statusFd);
  if (!pipe.sayQuietly(kPrivilegedStartedLine)) return kHelperRunnerGone;
  std::string why;
  auto request = parseInstallHelperArguments(arguments, why);
  int status = kHelperInstalled;
  if (!request) {
    pipe.sayQuietly("error " + why);
    status = kHelperBadArguments;
  } else {
    // A last resort should a system call hang past the time limit.
    alarm(static_cast<unsigned>(request->milliseconds / 1000 + 60));
    Watch watch(start + std::chrono::milliseconds(request->milliseconds), statusFd);
    try {
      Run run(*request, pipe, watch);
      run.go();
    } catch (const Stop& s) {
      status = s.status;
      if (!s.text.empty()) pipe.sayQuietly("error " + s.text);
    } catch (const std::exception& e) {
      status = kHelperCopyFailed;
      pipe.sayQuietly(std::string("error ") + e.what());
    }
  }
  pipe.sayQuietly(kPrivilegedStatusPrefix + std::to_string(status));
  return status;
}

}  // namespace installer
