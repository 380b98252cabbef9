#include "extract/space_reserve.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <string>

namespace installer::helpers {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kBlock = 4096;
constexpr std::uint64_t kMinimumReserve = 1ull << 30;

}  // namespace

std::optional<VolumeSpace> volumeSpace(const fs::path& path) {
  fs::path probe = path.empty() ? fs::path(".") : path;
  for (;;) {
    struct statvfs vfs {};
    if (::statvfs(probe.c_str(), &vfs) == 0) {
      return VolumeSpace{static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize,
                         static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize};
    }
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    fs::path parent = probe.parent_path();
    if (parent.empty() || parent == probe) return std::nullopt;
    probe = parent;
  }
}

std::uint64_t extractionReserve(std::uint64_t total) {
  if (const char* text = std::getenv(kReserveVariable); text && *text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno == 0 && *end == '\0' && text[0] != '-') return value;
  }
  return std::max(kMinimumReserve, total / 20);
}

SpaceBudget::SpaceBudget(const fs::path& directory) : directory_(directory) {
  if (auto space = volumeSpace(directory)) {
    reserve_ = extractionReserve(space->total);
    limit_ = space->available > reserve_ ? space->available - reserve_ : 0;
  }
}

std::uint64_t SpaceBudget::footprint(std::uint64_t size) {
  return (size + kBlock - 1) / kBlock * kBlock + kBlock;
}

bool SpaceBudget::charge(std::uint64_t size) { return chargeBytes(footprint(size)); }

bool SpaceBudget::chargeBytes(std::uint64_t bytes) {
  spent_ = bytes > UINT64_MAX - spent_ ? UINT64_MAX : spent_ + bytes;
  return !limit_ || spent_ <= *limit_;
}

bool SpaceBudget::volumeStillAboveReserve() const {
  if (!limit_) return true;
  auto space = volumeSpace(directory_);
  return !space || space->available >= reserve_;
}

}  // namespace installer::helpers
