#include "package/no_follow.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace installer {

namespace {

bool validComponents(const std::string& relative) {
  if (relative.empty() || relative.front() == '/' || relative.back() == '/') return false;
  std::size_t at = 0;
  while (at <= relative.size()) {
    auto end = relative.find('/', at);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") return false;
    at = end + 1;
  }
  return true;
}

// The kernel's own walk when it has one; ENOSYS otherwise.
int openat2NoLinks(int dirFd, const char* path, int flags, bool beneath) {
#ifdef SYS_openat2
  struct open_how how = {};
  how.flags = static_cast<unsigned long long>(flags);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | (beneath ? RESOLVE_BENEATH : 0);
  return static_cast<int>(syscall(SYS_openat2, dirFd, path, &how, sizeof how));
#else
  (void)dirFd, (void)path, (void)flags, (void)beneath;
  errno = ENOSYS;
  return -1;
#endif
}

// One component at a time, each opened with O_NOFOLLOW.
int walk(int dirFd, const std::string& relative, int lastFlags) {
  int at = dirFd;
  std::size_t start = 0;
  for (;;) {
    auto end = relative.find('/', start);
    bool last = end == std::string::npos;
    std::string part = relative.substr(start, last ? std::string::npos : end - start);
    int flags = last ? lastFlags : (O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int next = openat(at, part.c_str(), flags);
    int saved = errno;
    if (at != dirFd) close(at);
    errno = saved;
    if (next < 0 || last) return next;
    at = next;
    start = end + 1;
  }
}

}  // namespace

int openDirectoryNoFollow(const std::filesystem::path& path) {
  const std::string text = path.string();
  if (text.empty() || text.front() != '/') {
    errno = EINVAL;
    return -1;
  }
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat2NoLinks(AT_FDCWD, text.c_str(), flags, false);
  if (fd >= 0 || errno != ENOSYS) return fd;
  int root = open("/", flags);
  if (root < 0 || text == "/") return root;
  std::string relative = text.substr(1);
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  fd = walk(root, relative, flags);
  int saved = errno;
  close(root);
  errno = saved;
  return fd;
}

int openBeneath(int dirFd, const std::string& relative, bool directory) {
  if (!validComponents(relative)) {
    errno = EINVAL;
    return -1;
  }
  int flags = directory ? (O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                        : (O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  int fd = openat2NoLinks(dirFd, relative.c_str(), flags, true);
  if (fd >= 0 || errno != ENOSYS) return fd;
  return walk(dirFd, relative, flags);
}

std::optional<std::string> readAtMost(int fd, std::size_t limit) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return bytes;
    if (static_cast<std::size_t>(n) > limit - bytes.size()) return std::nullopt;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

namespace {

std::optional<std::string> readRegular(int fd, std::size_t limit) {
  if (fd < 0) return std::nullopt;
  struct stat st;
  std::optional<std::string> bytes;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) bytes = readAtMost(fd, limit);
  close(fd);
  return bytes;
}

}  // namespace

std::optional<std::string> readBeneath(int dirFd, const std::string& relative, std::size_t limit) {
  return readRegular(openBeneath(dirFd, relative, false), limit);
}

std::optional<std::string> readFileBounded(const std::filesystem::path& path, std::size_t limit) {
  return readRegular(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC), limit);
}

std::vector<std::string> listBeneath(int dirFd, const std::string& relative) {
  std::vector<std::string> names;
  int fd = relative.empty() ? fcntl(dirFd, F_DUPFD_CLOEXEC, 0) : openBeneath(dirFd, relative, true);
  if (fd < 0) return names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(fd), closedir);
  if (!dir) {
    close(fd);
    return names;
  }
  rewinddir(dir.get());
  while (struct dirent* e = readdir(dir.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace installer
