#include "publish/udif_writer.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "publish/package_makers.h"

namespace installer::publish {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kSectorsPerChunk = 2048;  // 1 MiB chunks
constexpr std::uint32_t kChunkRaw = 0x00000001;
constexpr std::uint32_t kChunkAdc = 0x80000004;
constexpr std::uint32_t kChunkZlib = 0x80000005;
constexpr std::uint32_t kChunkBzip2 = 0x80000006;
constexpr std::uint32_t kChunkLzma = 0x80000008;

void put32(std::string& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>((v >> s) & 0xFF));
}
void put64(std::string& out, std::uint64_t v) {
  for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<char>((v >> s) & 0xFF));
}
void putZeros(std::string& out, std::size_t n) { out.append(n, '\0'); }

std::string deflated(const std::string& bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()),
                static_cast<uLong>(bytes.size()), Z_BEST_SPEED) != Z_OK) {
    throw std::runtime_error("zlib compression failed");
  }
  out.resize(size);
  return out;
}

std::string bzipped(const std::string& bytes) {
  auto size = static_cast<unsigned int>(bytes.size() + bytes.size() / 100 + 600);
  std::string out(size, '\0');
  if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(bytes.data()),
                               static_cast<unsigned int>(bytes.size()), 9, 0, 0) != BZ_OK) {
    throw std::runtime_error("bzip2 compression failed");
  }
  out.resize(size);
  return out;
}

std::string xzipped(const std::string& bytes) {
  std::string out(lzma_stream_buffer_bound(bytes.size()), '\0');
  std::size_t size = 0;
  if (lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                              bytes.size(), reinterpret_cast<std::uint8_t*>(out.data()), &size,
                              out.size()) != LZMA_OK) {
    throw std::runtime_error("LZMA compression failed");
  }
  out.resize(size);
  return out;
}

// ADC's literal run: a byte 0x80 + (length - 1), then up to 128 bytes.
std::string adcLiterals(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 128 + 1);
  for (std::size_t i = 0; i < bytes.size(); i += 128) {
    std::size_t n = std::min<std::size_t>(128, bytes.size() - i);
    out.push_back(static_cast<char>(0x80 + n - 1));
    out.append(bytes, i, n);
  }
  return out;
}

std::uint32_t encode(UdifChunks chunks, std::string& piece) {
  switch (chunks) {
    case UdifChunks::raw:
      return kChunkRaw;
    case UdifChunks::zlib:
      piece = deflated(piece);
      return kChunkZlib;
    case UdifChunks::bzip2:
      piece = bzipped(piece);
      return kChunkBzip2;
    case UdifChunks::lzma:
      piece = xzipped(piece);
      return kChunkLzma;
    case UdifChunks::adc:
      piece = adcLiterals(piece);
      return kChunkAdc;
  }
  throw std::logic_error("chunk encoding");
}

// Appends one partition's chunks to `fork` and returns its block table
// ("mish"): which sectors of the partition lie where in the data fork.
std::string appendPartition(std::string bytes, std::uint64_t firstSector, UdifChunks chunks,
                            std::uint32_t id, std::string& fork) {
  bytes.resize((bytes.size() + kSector - 1) / kSector * kSector, '\0');
  const std::uint64_t sectorCount = bytes.size() / kSector;
  std::string t;
  put32(t, 0x6D697368);  // "mish"
  put32(t, 1);           // version
  put64(t, firstSector);
  put64(t, sectorCount);
  put64(t, 0);                 // data start
  put32(t, kSectorsPerChunk);  // decompress buffer requested (sectors)
  put32(t, id);                // block descriptor
  putZeros(t, 24);             // reserved
  putZeros(t, 136);            // checksum: none
  std::uint64_t count = (sectorCount + kSectorsPerChunk - 1) / kSectorsPerChunk;
  put32(t, static_cast<std::uint32_t>(count + 1));
  for (std::uint64_t c = 0; c < count; ++c) {
    std::uint64_t first = c * kSectorsPerChunk;
    std::uint64_t sectors = std::min(kSectorsPerChunk, sectorCount - first);
    std::string piece = bytes.substr(first * kSector, sectors * kSector);
    put32(t, encode(chunks, piece));
    put32(t, 0);
    put64(t, first);
    put64(t, sectors);
    put64(t, fork.size());
    put64(t, piece.size());
    fork += piece;
  }
  put32(t, 0xFFFFFFFF);  // terminator
  put32(t, 0);
  put64(t, sectorCount);
  put64(t, 0);
  put64(t, fork.size());
  put64(t, 0);
  return t;
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

void writeUDIF(const std::vector<UdifPartition>& partitions, const std::filesystem::path& dmg,
               UdifChunks chunks) {
  std::string fork;
  std::string entries;
  std::uint64_t sectors = 0;
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    const auto& p = partitions[i];
    std::string table = appendPartition(p.bytes, sectors, chunks, static_cast<std::uint32_t>(i), fork);
    sectors += (p.bytes.size() + kSector - 1) / kSector;
    entries +=
        "\t\t\t<dict>\n"
        "\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"
        "\t\t\t\t<key>CFName</key>\n\t\t\t\t<string>" + xmlEscape(p.name) + "</string>\n"
        "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n" + base64ForPlist(table) + "\n\t\t\t\t</data>\n"
        "\t\t\t\t<key>ID</key>\n\t\t\t\t<string>" + std::to_string(i) + "</string>\n"
        "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" + xmlEscape(p.name) + "</string>\n"
        "\t\t\t</dict>\n";
  }
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n"
      "\t\t<key>blkx</key>\n\t\t<array>\n" + entries +
      "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";

  std::string koly;
  koly += "koly";
  put32(koly, 4);    // version
  put32(koly, 512);  // header size
  put32(koly, 1);    // flags: flattened
  put64(koly, 0);    // running data fork offset
  put64(koly, 0);    // data fork offset
  put64(koly, fork.size());
  put64(koly, 0);  // resource fork offset
  put64(koly, 0);  // resource fork length
  put32(koly, 1);  // segment number
  put32(koly, 1);  // segment count
  putZeros(koly, 16);   // segment id
  putZeros(koly, 136);  // data fork checksum: none
  put64(koly, fork.size());   // XML offset
  put64(koly, plist.size());  // XML length
  putZeros(koly, 120);
  putZeros(koly, 136);  // master checksum: none
  put32(koly, 1);       // image variant: device image
  put64(koly, sectors);
  putZeros(koly, 12);
  if (koly.size() != 512) throw std::logic_error("koly trailer size");

  std::ofstream out(dmg, std::ios::binary | std::ios::trunc);
  out << fork << plist << koly;
  if (!out) throw std::runtime_error("cannot write " + dmg.string());
}

void writeFlatUDIF(const std::filesystem::path& volumeImage, const std::filesystem::path& dmg,
                   const std::string& partitionName, UdifChunks chunks) {
  std::ifstream in(volumeImage, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + volumeImage.string());
  std::stringstream bytes;
  bytes << in.rdbuf();
  writeUDIF({{partitionName, bytes.str()}}, dmg, chunks);
}

}  // namespace installer::publish
