// The free-space guard of every unpacking: an extraction may never leave
// less than a reserve free on the volume it writes to, so that an archive
// that expands to far more than it weighs (a "bomb") fails instead of
// filling the user's disk. Used by the tool stand-ins and by the
// unarchiver's own check of an installer package's payload.
//
// The reserve is the larger of 1 GiB and 5 % of the volume's size. Tests
// set it to a number of bytes through the environment variable named by
// `kReserveVariable`, which the stand-ins inherit, so a small archive can
// prove the guard without writing gigabytes. Plain values; any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace installer::helpers {

inline constexpr const char* kReserveVariable = "INSTALLER_EXTRACTION_RESERVE";

// Free and total bytes of the volume holding `path` (for an unprivileged
// user); absent when the volume cannot be queried.
struct VolumeSpace {
  std::uint64_t available = 0;
  std::uint64_t total = 0;
};
std::optional<VolumeSpace> volumeSpace(const std::filesystem::path& path);

// The reserve for a volume of `total` bytes: the variable's decimal value
// when it is set and well-formed, else max(1 GiB, total / 20).
std::uint64_t extractionReserve(std::uint64_t total);

// What an extraction into one directory may still write. Measured once at
// construction; charges are estimates of the space an entry takes (its
// size rounded up to whole blocks, plus one block for the entry itself).
// A volume that cannot be queried sets no limit.
class SpaceBudget {
 public:
  explicit SpaceBudget(const std::filesystem::path& directory);

  // Adds the space an entry of `size` bytes takes; false once the total
  // would eat into the reserve (the charge is kept either way).
  bool charge(std::uint64_t size);
  // Adds raw bytes already written (no rounding); false as above.
  bool chargeBytes(std::uint64_t bytes);
  // Measures the volume again: false when its free space is already below
  // the reserve (for extractions by another process, watched while it runs).
  bool volumeStillAboveReserve() const;

  static std::uint64_t footprint(std::uint64_t size);

 private:
  std::filesystem::path directory_;
  std::optional<std::uint64_t> limit_;  // bytes that may be written
  std::uint64_t reserve_ = 0;
  std::uint64_t spent_ = 0;
};

// The error text of a refused extraction.
inline constexpr const char* kNoSpaceMessage =
    "not enough free space: unpacking would leave less than the reserve free on the volume";

}  // namespace installer::helpers
