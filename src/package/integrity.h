// Integrity checks on a downloaded package: its size, its MD5 digest and
// the free space of the volume it will be installed on. Plain functions;
// any thread; each blocks only for its own file-system work.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

namespace installer {

namespace integrity {
struct sizeMismatch {
  std::int64_t expected = 0;
  std::int64_t actual = 0;
  bool operator==(const sizeMismatch&) const = default;
};
struct checksumMismatch {
  std::string expected;  // as given
  std::string actual;    // computed, lowercase hex
  bool operator==(const checksumMismatch&) const = default;
};
struct insufficientSpace {
  std::int64_t needed = 0;
  std::int64_t available = 0;
  bool operator==(const insufficientSpace&) const = default;
};
}  // namespace integrity

// A failed check. what() is the description the user sees:
//   "size mismatch: expected 100, got 99"
//   "md5 mismatch: expected <expected>, got <actual>"
//   "not enough disk space: need 1 GB, available 999 MB"
class IntegrityError : public std::runtime_error {
 public:
  using Case = std::variant<integrity::sizeMismatch, integrity::checksumMismatch,
                            integrity::insufficientSpace>;
  explicit IntegrityError(Case value);
  const Case& value() const { return value_; }
  std::string description() const { return what(); }

 private:
  Case value_;
};

// The file's size in bytes, or 0 when it cannot be read (missing file, no
// permission). A directory counts as unreadable. Never throws.
std::int64_t fileSize(const std::filesystem::path& file);

// The MD5 digest of the whole file as 32 lowercase hex digits, read in one
// streaming pass with a fixed 1 MiB buffer. Throws std::system_error (the
// file system's error) when the file cannot be opened or read, e.g. for a
// directory.
std::string md5Hex(const std::filesystem::path& file);

// Returns when `expected` is absent or empty (without reading the file) or
// equals the file's digest ignoring letter case; otherwise throws
// IntegrityError(checksumMismatch), or the read error of md5Hex.
void verifyChecksum(const std::filesystem::path& file, const std::optional<std::string>& expected);

// Size first (skipped unless `expectedSize` >= 1), then the digest as in
// verifyChecksum. Throws IntegrityError(sizeMismatch / checksumMismatch) or
// a read error; stops at the first failure.
void verifyPackage(const std::filesystem::path& file, const std::optional<std::int64_t>& expectedSize,
                   const std::optional<std::string>& expected);

// Bytes an unprivileged user may still write on the volume holding `path`
// (f_bavail * f_frsize). A path that does not exist yet is measured at its
// nearest existing ancestor. Absent when the volume cannot be queried.
std::optional<std::int64_t> availableCapacity(const std::filesystem::path& path);

// Needs 2.5 times `packageSize` (truncated) of strictly more free space
// than that. Skipped for a package size below 1 and when `available` is
// absent or not positive. Throws IntegrityError(insufficientSpace).
void checkDiskSpace(std::int64_t packageSize, const std::optional<std::int64_t>& available);
// The same against the volume of `path` (the installation directory).
void checkDiskSpace(const std::filesystem::path& path, std::int64_t packageSize);

}  // namespace installer
