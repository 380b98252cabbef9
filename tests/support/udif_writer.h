// A small writer of flat UDIF disk images (the ".dmg" format): a data fork
// of raw sector chunks described by one "mish" block table in the image's
// XML property list, and the 512-byte "koly" trailer. Enough for 7-Zip (and
// hence the hdiutil stand-in) to open the volume inside; no checksums, no
// compression, one partition.
//
//   writeFlatUDIF("/tmp/vol.hfs", "/tmp/App.dmg");
//
// Test support; any thread; throws std::runtime_error on I/O errors.
#pragma once

#include <filesystem>
#include <string>

namespace installer::testing {

// Wraps the raw volume `volumeImage` (padded to whole 512-byte sectors) as
// the single partition `partitionName` of a flat UDIF image at `dmg`.
void writeFlatUDIF(const std::filesystem::path& volumeImage, const std::filesystem::path& dmg,
                   const std::string& partitionName = "disk image (Apple_HFS : 0)");

// Standard Base64 with padding, wrapped at 52 characters per line as
// property lists usually are.
std::string base64ForPlist(const std::string& bytes);

}  // namespace installer::testing
