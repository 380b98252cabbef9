// Recognition of disk image files by their own bytes, for the hdiutil
// stand-in: a UDIF image ("koly" trailer), an ISO 9660 image (hybrid
// ISO/HFS+ images included), or an encrypted image, whose password an
// installer cannot ask for. Reads at most a few sectors; any thread.
#pragma once

#include <filesystem>

namespace installer::helpers {

enum class DiskImageFormat {
  udif,
  iso9660,
  encrypted,  // "encrcdsa" header (version 2) or "cdsaencr" trailer (version 1)
  unknown,    // also a file that cannot be read
};

DiskImageFormat diskImageFormat(const std::filesystem::path& image);

}  // namespace installer::helpers
