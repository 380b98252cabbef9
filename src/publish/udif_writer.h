// A small writer of flat UDIF disk images (the ".dmg" format): a data fork
// of sector chunks (raw, zlib, bzip2, LZMA or ADC) described by one "mish" block table per
// partition in the image's XML property list, and the 512-byte "koly"
// trailer. Enough for 7-Zip (and hence the hdiutil stand-in) to open the
// volumes inside; no checksums.
//
//   writeFlatUDIF("/tmp/vol.hfs", "/tmp/App.dmg");
//   writeUDIF({{"Apple (Apple_partition_map : 1)", map}, {"disk image (Apple_HFS : 2)", hfs}},
//             "/tmp/Two.dmg", UdifChunks::zlib);
//
// Any thread; throws std::runtime_error on I/O errors.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace installer::publish {

struct UdifPartition {
  std::string name;   // the blkx entry's Name and CFName
  std::string bytes;  // the partition's contents, padded to whole sectors
};

// The chunk encodings of hdiutil's formats: raw (UDRO), zlib (UDZO; also
// keeps images of mostly empty volumes, bombs, small), bzip2 (UDBZ), LZMA
// in xz streams (ULMO) and ADC (old UDCO images; written as literals only,
// which every ADC decoder reads). LZFSE (ULFO) has no Debian encoder.
enum class UdifChunks { raw, zlib, bzip2, lzma, adc };

// Writes the partitions, in order, as one flat UDIF image at `dmg`.
void writeUDIF(const std::vector<UdifPartition>& partitions, const std::filesystem::path& dmg,
               UdifChunks chunks = UdifChunks::raw);

// Wraps the raw volume `volumeImage` as the single partition
// `partitionName` of a flat UDIF image at `dmg`.
void writeFlatUDIF(const std::filesystem::path& volumeImage, const std::filesystem::path& dmg,
                   const std::string& partitionName = "disk image (Apple_HFS : 0)",
                   UdifChunks chunks = UdifChunks::raw);

// Standard Base64 with padding, wrapped at 52 characters per line as
// property lists usually are.
std::string base64ForPlist(const std::string& bytes);

}  // namespace installer::publish
