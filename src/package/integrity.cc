#include "package/integrity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <vector>

#include <mbedtls/md5.h>

#include "install/install_types.h"

namespace installer {
namespace {

constexpr std::size_t kReadChunk = 1 << 20;

std::string describe(const IntegrityError::Case& value) {
  struct Visitor {
    std::string operator()(const integrity::sizeMismatch& e) const {
      return "size mismatch: expected " + std::to_string(e.expected) + ", got " +
             std::to_string(e.actual);
    }
    std::string operator()(const integrity::checksumMismatch& e) const {
      return "md5 mismatch: expected " + e.expected + ", got " + e.actual;
    }
    std::string operator()(const integrity::insufficientSpace& e) const {
      return "not enough disk space: need " + formatByteCount(e.needed) + ", available " +
             formatByteCount(e.available);
    }
  };
  return std::visit(Visitor{}, value);
}

bool equalIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }  // a close error is of no interest after reading
};

}  // namespace

IntegrityError::IntegrityError(Case value)
    : std::runtime_error(describe(value)), value_(std::move(value)) {}

std::int64_t fileSize(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<std::int64_t>(st.st_size);
}

std::string md5Hex(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
  }
  FdCloser closer{fd};
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  mbedtls_md5_context ctx;
  mbedtls_md5_init(&ctx);
  std::unique_ptr<mbedtls_md5_context, void (*)(mbedtls_md5_context*)> guard(&ctx,
                                                                              mbedtls_md5_free);
  mbedtls_md5_starts_ret(&ctx);
  std::vector<unsigned char> buffer(kReadChunk);
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
    }
    if (n == 0) break;
    mbedtls_md5_update_ret(&ctx, buffer.data(), static_cast<std::size_t>(n));
  }
  unsigned char digest[16];
  mbedtls_md5_finish_ret(&ctx, digest);

  static const char kHex[] = "0123456789abcdef";
  std::string hex(32, '0');
  for (int i = 0; i < 16; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0xf];
  }
  return hex;
}

void verifyChecksum(const std::filesystem::path& file, const std::optional<std::string>& expected) {
  if (!expected || expected->empty()) return;
  std::string actual = md5Hex(file);
  if (!equalIgnoringCase(*expected, actual)) {
    throw IntegrityError(integrity::checksumMismatch{*expected, actual});
  }
}

void verifyPackage(const std::filesystem::path& file, const std::optional<std::int64_t>& expectedSize,
                   const std::optional<std::string>& expected) {
  if (expectedSize && *expectedSize >= 1) {
    std::int64_t actual = fileSize(file);
    if (actual != *expectedSize) {
      throw IntegrityError(integrity::sizeMismatch{*expectedSize, actual});
    }
  }
  verifyChecksum(file, expected);
}

std::optional<std::int64_t> availableCapacity(const std::filesystem::path& path) {
  std::filesystem::path probe = path.empty() ? std::filesystem::path(".") : path;
  // The installation directory may not exist yet; its volume is the one of
  // the nearest ancestor that does.
  for (;;) {
    struct statvfs vfs {};
    if (::statvfs(probe.c_str(), &vfs) == 0) {
      return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
    }
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    std::filesystem::path parent = probe.parent_path();
    if (parent.empty() || parent == probe) return std::nullopt;
    probe = parent;
  }
}

void checkDiskSpace(std::int64_t packageSize, const std::optional<std::int64_t>& available) {
  if (packageSize < 1) return;
  if (!available || *available <= 0) return;
  // 2.5 times, truncated, in integers so large sizes stay exact.
  std::int64_t needed = packageSize * 2 + packageSize / 2;
  if (*available <= needed) {
    throw IntegrityError(integrity::insufficientSpace{needed, *available});
  }
}

void checkDiskSpace(const std::filesystem::path& path, std::int64_t packageSize) {
  if (packageSize < 1) return;
  checkDiskSpace(packageSize, availableCapacity(path));
}

}  // namespace installer
