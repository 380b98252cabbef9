#include "extract/apple_double.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "extract/archive_extract.h"

namespace installer::helpers {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kAppleDoubleMagic = 0x00051607;
constexpr std::uint32_t kResourceFork = 2;
constexpr std::uint32_t kFinderInfo = 9;
constexpr std::size_t kFinderInfoSize = 32;
constexpr std::uint32_t kAttributeMagic = 0x41545452;  // "ATTR"
// Larger metadata does not fit an extended attribute anywhere anyway.
constexpr std::uintmax_t kMaxAppleDoubleSize = 16u << 20;

// Big-endian fields at checked offsets.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool has(std::size_t offset, std::size_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  std::uint32_t u32(std::size_t at) const {
    return (byte(at) << 24) | (byte(at + 1) << 16) | (byte(at + 2) << 8) | byte(at + 3);
  }
  std::uint16_t u16(std::size_t at) const { return static_cast<std::uint16_t>((byte(at) << 8) | byte(at + 1)); }
  std::uint32_t byte(std::size_t at) const { return static_cast<unsigned char>(bytes_[at]); }
  std::string_view slice(std::size_t at, std::size_t size) const { return bytes_.substr(at, size); }

 private:
  std::string_view bytes_;
};

using Attributes = std::vector<std::pair<std::string, std::string>>;

// The attribute list that follows the Finder information: a header (magic,
// tag, total size, data start, data length, 3 reserved words, flags, count)
// and then 4-byte aligned entries (offset, length, flags, name length, name
// with its terminating NUL).
bool readAttributeList(const Reader& in, std::size_t at, std::size_t end, Attributes& out) {
  constexpr std::size_t kHeader = 36;
  if (end - at < kHeader || in.u32(at) != kAttributeMagic) return true;  // none: fine
  std::size_t count = in.u16(at + 34);
  std::size_t entry = at + kHeader;
  for (std::size_t i = 0; i < count; ++i) {
    if (!in.has(entry, 11)) return false;
    std::uint32_t offset = in.u32(entry);
    std::uint32_t length = in.u32(entry + 4);
    std::size_t nameLength = in.byte(entry + 10);
    if (!in.has(entry + 11, nameLength) || !in.has(offset, length)) return false;
    std::string name(in.slice(entry + 11, nameLength));
    name = name.substr(0, name.find('\0'));
    if (name.empty()) return false;
    out.emplace_back(name, std::string(in.slice(offset, length)));
    entry += (11 + nameLength + 3) & ~std::size_t{3};
  }
  return true;
}

// Bounded by the bytes read, not by the size the file claims; a link is
// not followed.
std::optional<std::string> readSmall(const fs::path& file) {
  int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[16384];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || static_cast<std::size_t>(n) > kMaxAppleDoubleSize - bytes.size()) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return bytes;
}

bool isRealDirectory(const fs::path& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Applies "__MACOSX/<relative>/._name" files below `sequestered` to
// `destination`/<relative>/name.
void fold(const fs::path& sequestered, const fs::path& relative, const fs::path& destination) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sequestered / relative, ec)) {
    std::string name = entry.path().filename().string();
    struct stat st;
    if (lstat(entry.path().c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (isRealDirectory(destination / relative / name)) fold(sequestered, relative / name, destination);
      continue;
    }
    if (!S_ISREG(st.st_mode) || name.size() <= 2 || name.compare(0, 2, "._") != 0) continue;
    fs::path target = destination / relative / name.substr(2);
    if (lstat(target.c_str(), &st) != 0) continue;
    auto bytes = readSmall(entry.path());
    if (!bytes) continue;
    auto attributes = parseAppleDouble(*bytes);
    if (!attributes) continue;
    for (const auto& [key, value] : *attributes) {
      // Links take no user attributes on Linux; what a volume refuses is dropped.
      lsetxattr(target.c_str(), ("user." + key).c_str(), value.data(), value.size(), 0);
    }
  }
}

}  // namespace

std::optional<Attributes> parseAppleDouble(std::string_view bytes) {
  Reader in(bytes);
  constexpr std::size_t kHeader = 26;
  if (!in.has(0, kHeader) || in.u32(0) != kAppleDoubleMagic) return std::nullopt;
  std::size_t count = in.u16(24);
  Attributes attributes;
  std::vector<std::pair<std::string, std::string>> extra;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t at = kHeader + 12 * i;
    if (!in.has(at, 12)) return std::nullopt;
    std::uint32_t type = in.u32(at);
    std::uint32_t offset = in.u32(at + 4);
    std::uint32_t length = in.u32(at + 8);
    if (!in.has(offset, length)) return std::nullopt;
    if (type == kResourceFork && length > 0) {
      attributes.emplace_back("com.apple.ResourceFork", std::string(in.slice(offset, length)));
    } else if (type == kFinderInfo && length >= kFinderInfoSize) {
      std::string_view info = in.slice(offset, kFinderInfoSize);
      if (std::any_of(info.begin(), info.end(), [](char c) { return c != 0; })) {
        attributes.emplace_back("com.apple.FinderInfo", std::string(info));
      }
      // Two bytes of padding, then the attribute list.
      if (length > kFinderInfoSize + 2 &&
          !readAttributeList(in, offset + kFinderInfoSize + 2, std::size_t{offset} + length, extra)) {
        return std::nullopt;
      }
    }
  }
  attributes.insert(attributes.end(), extra.begin(), extra.end());
  return attributes;
}

void foldSequesteredMetadata(const fs::path& destination) {
  fs::path sequestered = destination / "__MACOSX";
  if (isRealDirectory(sequestered)) fold(sequestered, "", destination);
  removeTree(sequestered);
}

}  // namespace installer::helpers
