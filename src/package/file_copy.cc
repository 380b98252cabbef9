#include "package/file_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/system_info.h"

namespace installer {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const fs::path& p, int err = errno) {
  throw fs::filesystem_error(what, p, std::error_code(err, std::generic_category()));
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

void copyData(int in, int out, const struct stat& st, const fs::path& from) {
  off_t remaining = st.st_size;
  bool useRange = true;
  while (remaining > 0) {
    ssize_t n = -1;
    if (useRange) {
      n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(remaining), 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        useRange = false;
        continue;
      }
    } else {
      static thread_local std::vector<char> buffer(1 << 20);
      n = read(in, buffer.data(), buffer.size());
      if (n > 0) {
        ssize_t done = 0;
        while (done < n) {
          ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
          if (w < 0) {
            if (errno == EINTR) continue;
            fail("write", from);
          }
          done += w;
        }
      }
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("copy", from);
    }
    if (n == 0) break;  // the file shrank while we copied
    remaining -= n;
  }
}

void copyFile(int srcDir, int dstDir, const char* name, const struct stat& st, const fs::path& from) {
  Fd in(openat(srcDir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (in.get() < 0) fail("open", from);
  Fd out(openat(dstDir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (out.get() < 0) fail("create", from);
  copyData(in.get(), out.get(), st, from);
  if (fchmod(out.get(), st.st_mode & 07777) != 0) fail("chmod", from);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  futimens(out.get(), times);
}

// Copies the entries of the open directory `srcDir` into `dstDir`.
void copyDirectoryContents(int srcDir, int dstDir, const fs::path& from) {
  int dupFd = dup(srcDir);
  if (dupFd < 0) fail("dup", from);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(dupFd), closedir);
  if (!dir) {
    close(dupFd);
    fail("opendir", from);
  }
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(dir.get());
    if (!e) {
      if (errno != 0) fail("readdir", from);
      break;
    }
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    fs::path child = from / name;
    struct stat st;
    if (fstatat(srcDir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail("stat", child);
    if (S_ISREG(st.st_mode)) {
      copyFile(srcDir, dstDir, name, st, child);
    } else if (S_ISDIR(st.st_mode)) {
      if (mkdirat(dstDir, name, 0700) != 0) fail("mkdir", child);
      Fd sub(openat(srcDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.get() < 0) fail("open", child);
      Fd dsub(openat(dstDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (dsub.get() < 0) fail("open", child);
      copyDirectoryContents(sub.get(), dsub.get(), child);
      // Modes and times last, so a read-only directory can still be filled.
      if (fchmod(dsub.get(), st.st_mode & 07777) != 0) fail("chmod", child);
      struct timespec times[2] = {st.st_atim, st.st_mtim};
      futimens(dsub.get(), times);
    } else if (S_ISLNK(st.st_mode)) {
      std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
      ssize_t n = readlinkat(srcDir, name, target.data(), target.size());
      if (n < 0) fail("readlink", child);
      target.resize(static_cast<size_t>(n));
      if (symlinkat(target.c_str(), dstDir, name) != 0) fail("symlink", child);
      struct timespec times[2] = {st.st_atim, st.st_mtim};
      utimensat(dstDir, name, times, AT_SYMLINK_NOFOLLOW);
    }
    // Sockets, devices and pipes have no place in a bundle; they are left out.
  }
}

}  // namespace

void copyTree(const fs::path& source, const fs::path& destination) {
  struct stat st;
  if (lstat(source.c_str(), &st) != 0) fail("stat", source);
  if (S_ISDIR(st.st_mode)) {
    if (mkdir(destination.c_str(), 0700) != 0) fail("mkdir", destination);
    Fd src(open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (src.get() < 0) fail("open", source);
    Fd dst(open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dst.get() < 0) fail("open", destination);
    copyDirectoryContents(src.get(), dst.get(), source);
    if (fchmod(dst.get(), st.st_mode & 07777) != 0) fail("chmod", destination);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(dst.get(), times);
    return;
  }
  if (S_ISREG(st.st_mode)) {
    Fd in(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (in.get() < 0) fail("open", source);
    Fd out(open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (out.get() < 0) fail("create", destination);
    copyData(in.get(), out.get(), st, source);
    if (fchmod(out.get(), st.st_mode & 07777) != 0) fail("chmod", destination);
  } else if (S_ISLNK(st.st_mode)) {
    std::error_code ec;
    fs::copy_symlink(source, destination, ec);
    if (ec) throw fs::filesystem_error("symlink", source, destination, ec);
  } else {
    fail("copy", source, ENOTSUP);
  }
}

void replaceWithStaged(const fs::path& staged, const fs::path& destination) {
  struct stat st;
  bool occupied = lstat(destination.c_str(), &st) == 0;
  if (!occupied) {
    if (rename(staged.c_str(), destination.c_str()) != 0) fail("rename", staged);
    return;
  }
#ifdef RENAME_EXCHANGE
  if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, destination.c_str(), RENAME_EXCHANGE) == 0) {
    std::error_code ec;
    fs::remove_all(staged, ec);  // now the old copy
    return;
  }
#endif
  // Appended piece by piece: prepending to a temporary trips a false
  // -Wrestrict in GCC 12 at -O3.
  std::string asideName(1, '.');
  asideName.append(destination.filename().string()).append(".qx-old-").append(platform::makeUUID());
  fs::path aside = destination.parent_path() / asideName;
  if (rename(destination.c_str(), aside.c_str()) != 0) fail("rename", destination);
  if (rename(staged.c_str(), destination.c_str()) != 0) {
    int err = errno;
    rename(aside.c_str(), destination.c_str());
    fail("rename", staged, err);
  }
  std::error_code ec;
  fs::remove_all(aside, ec);
}

namespace {

// Sums the regular files below the open directory `fd` (which it closes).
// Works relative to directory descriptors: no path lookups per entry and no
// change of the process's working directory.
bool sumDirectory(int fd, std::int64_t& total) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(fd), closedir);
  if (!dir) {
    close(fd);
    return false;
  }
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(dir.get());
    if (!e) return errno == 0;
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    unsigned char type = e->d_type;
    if (type == DT_LNK) continue;
    if (type == DT_REG || type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dirfd(dir.get()), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
      if (S_ISREG(st.st_mode)) {
        total += st.st_size;
        continue;
      }
      if (!S_ISDIR(st.st_mode)) continue;
    } else if (type != DT_DIR) {
      continue;
    }
    int sub = openat(dirfd(dir.get()), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0 || !sumDirectory(sub, total)) return false;
  }
}

}  // namespace

std::optional<std::int64_t> treeSize(const fs::path& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    return std::nullopt;
  }
  if (!S_ISDIR(st.st_mode)) return 0;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::int64_t total = 0;
  if (!sumDirectory(fd, total)) return std::nullopt;
  return total;
}

}  // namespace installer
