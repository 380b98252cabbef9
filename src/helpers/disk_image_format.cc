#include "helpers/disk_image_format.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace installer::helpers {

namespace {

std::uint64_t be64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}
std::uint32_t be32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool readAt(std::ifstream& in, std::uint64_t offset, unsigned char* into, std::size_t length) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  return static_cast<bool>(in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(length)));
}

// A UDIF image ends in a 512-byte "koly" trailer whose forks lie inside the
// file before it; a tar or ZIP archive named ".dmg" has none.
bool hasUDIFTrailer(const unsigned char* t, std::uint64_t size) {
  if (std::memcmp(t, "koly", 4) != 0 || be32(t + 4) != 4 || be32(t + 8) != 512) return false;
  const std::uint64_t body = size - 512;
  auto inside = [body](std::uint64_t offset, std::uint64_t length) {
    return offset <= body && length <= body - offset;
  };
  std::uint64_t dataOffset = be64(t + 24), dataLength = be64(t + 32);
  std::uint64_t rsrcOffset = be64(t + 40), rsrcLength = be64(t + 48);
  std::uint64_t xmlOffset = be64(t + 216), xmlLength = be64(t + 224);
  return inside(dataOffset, dataLength) && inside(rsrcOffset, rsrcLength) && inside(xmlOffset, xmlLength) &&
         (xmlLength > 0 || rsrcLength > 0);
}

}  // namespace

DiskImageFormat diskImageFormat(const fs::path& image) {
  std::error_code ec;
  if (!fs::is_regular_file(image, ec)) return DiskImageFormat::unknown;
  const std::uint64_t size = fs::file_size(image, ec);
  std::ifstream in(image, std::ios::binary);
  if (ec || !in || size < 512) return DiskImageFormat::unknown;
  unsigned char block[512];
  if (!readAt(in, 0, block, 8)) return DiskImageFormat::unknown;
  if (std::memcmp(block, "encrcdsa", 8) == 0) return DiskImageFormat::encrypted;
  if (readAt(in, size - 8, block, 8) && std::memcmp(block, "cdsaencr", 8) == 0) {
    return DiskImageFormat::encrypted;
  }
  if (readAt(in, size - 512, block, 512) && hasUDIFTrailer(block, size)) return DiskImageFormat::udif;
  // The primary volume descriptor of ISO 9660 sits at sector 16.
  if (size >= 32768 + 6 && readAt(in, 32768, block, 6) && std::memcmp(block + 1, "CD001", 5) == 0) {
    return DiskImageFormat::iso9660;
  }
  return DiskImageFormat::unknown;
}

}  // namespace installer::helpers
