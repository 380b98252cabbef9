#include "support/udif_writer.h"

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace installer::testing {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kSectorsPerChunk = 2048;  // 1 MiB raw chunks

void put32(std::string& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>((v >> s) & 0xFF));
}
void put64(std::string& out, std::uint64_t v) {
  for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<char>((v >> s) & 0xFF));
}
void putZeros(std::string& out, std::size_t n) { out.append(n, '\0'); }

// The block table ("mish"): which sectors of the partition lie where in
// the data fork.
std::string blockTable(std::uint64_t sectorCount) {
  std::string t;
  put32(t, 0x6D697368);  // "mish"
  put32(t, 1);           // version
  put64(t, 0);           // first sector
  put64(t, sectorCount);
  put64(t, 0);                 // data start
  put32(t, kSectorsPerChunk);  // decompress buffer requested (sectors)
  put32(t, 0);                 // partition number
  putZeros(t, 24);             // reserved
  putZeros(t, 136);            // checksum: none
  std::uint64_t chunks = (sectorCount + kSectorsPerChunk - 1) / kSectorsPerChunk;
  put32(t, static_cast<std::uint32_t>(chunks + 1));
  for (std::uint64_t c = 0; c < chunks; ++c) {
    std::uint64_t first = c * kSectorsPerChunk;
    std::uint64_t count = std::min(kSectorsPerChunk, sectorCount - first);
    put32(t, 0x00000001);  // raw
    put32(t, 0);
    put64(t, first);
    put64(t, count);
    put64(t, first * kSector);
    put64(t, count * kSector);
  }
  put32(t, 0xFFFFFFFF);  // terminator
  put32(t, 0);
  put64(t, sectorCount);
  put64(t, 0);
  put64(t, sectorCount * kSector);
  put64(t, 0);
  return t;
}

std::string xmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

}  // namespace

std::string base64ForPlist(const std::string& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t line = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
    line += 4;
    if (line >= 52) {
      out += '\n';
      line = 0;
    }
  }
  return out;
}

void writeFlatUDIF(const std::filesystem::path& volumeImage, const std::filesystem::path& dmg,
                   const std::string& partitionName) {
  std::ifstream in(volumeImage, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + volumeImage.string());
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::uint64_t sectors = (data.size() + kSector - 1) / kSector;
  data.resize(sectors * kSector, '\0');

  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n"
      "\t\t<key>blkx</key>\n\t\t<array>\n\t\t\t<dict>\n"
      "\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"
      "\t\t\t\t<key>CFName</key>\n\t\t\t\t<string>" + xmlEscape(partitionName) + "</string>\n"
      "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n" + base64ForPlist(blockTable(sectors)) +
      "\n\t\t\t\t</data>\n"
      "\t\t\t\t<key>ID</key>\n\t\t\t\t<string>0</string>\n"
      "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" + xmlEscape(partitionName) + "</string>\n"
      "\t\t\t</dict>\n\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";

  std::string koly;
  koly += "koly";
  put32(koly, 4);    // version
  put32(koly, 512);  // header size
  put32(koly, 1);    // flags: flattened
  put64(koly, 0);    // running data fork offset
  put64(koly, 0);    // data fork offset
  put64(koly, data.size());
  put64(koly, 0);  // resource fork offset
  put64(koly, 0);  // resource fork length
  put32(koly, 1);  // segment number
  put32(koly, 1);  // segment count
  putZeros(koly, 16);   // segment id
  putZeros(koly, 136);  // data fork checksum: none
  put64(koly, data.size());   // XML offset
  put64(koly, plist.size());  // XML length
  putZeros(koly, 120);
  putZeros(koly, 136);  // master checksum: none
  put32(koly, 1);       // image variant: device image
  put64(koly, sectors);
  putZeros(koly, 12);
  if (koly.size() != 512) throw std::logic_error("koly trailer size");

  std::ofstream out(dmg, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.write(plist.data(), static_cast<std::streamsize>(plist.size()));
  out.write(koly.data(), static_cast<std::streamsize>(koly.size()));
  if (!out) throw std::runtime_error("cannot write " + dmg.string());
}

}  // namespace installer::testing
