#include "extract/stream_unpacker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <span>
#include <system_error>

#include "extract/apple_double.h"
#include "extract/archive_extract.h"
#include "extract/space_reserve.h"
#include "extract/xml_parser_lifetime.h"

namespace installer::helpers {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kUnset32 = 0xffffffff;
constexpr std::size_t kBlock = std::size_t{256} << 10;

// Thrown on the unpacking thread only, caught once in run().
struct Failure {
  std::string message;
};

[[noreturn]] void fail(std::string message) { throw Failure{std::move(message)}; }

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
std::uint64_t le64(const unsigned char* p) { return le32(p) | (std::uint64_t{le32(p + 4)} << 32); }

struct LocalEntry {
  std::string name;  // as stored, trailing "/" included
  std::uint64_t offset = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressed = 0;
  std::uint64_t size = 0;
  std::optional<std::int64_t> mtime;  // from the extended timestamp field
  bool listed = false;
};

struct CentralEntry {
  std::string name;
  std::uint16_t madeBy = 0;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressed = 0;
  std::uint64_t size = 0;
  std::uint32_t externalAttributes = 0;
  std::uint64_t offset = 0;
};

bool isDirectoryName(const std::string& name) { return !name.empty() && name.back() == '/'; }

std::string withoutSlash(std::string name) {
  while (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

// The ZIP64 sizes and offset, in the order the format gives them: each is
// present only when its 32-bit field holds the marker.
void readZip64(std::string_view extra, std::initializer_list<std::uint64_t*> fields) {
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  std::size_t at = 0;
  while (at + 4 <= extra.size()) {
    std::uint16_t id = le16(p + at);
    std::size_t size = le16(p + at + 2);
    if (at + 4 + size > extra.size()) return;
    if (id == 0x0001) {
      std::size_t field = at + 4;
      for (std::uint64_t* value : fields) {
        if (*value != kUnset32) continue;
        if (field + 8 > at + 4 + size) fail("bad ZIP64 extra field");
        *value = le64(p + field);
        field += 8;
      }
      return;
    }
    at += 4 + size;
  }
  for (std::uint64_t* value : fields) {
    if (*value == kUnset32) fail("missing ZIP64 extra field");
  }
}

bool hasZip64(std::string_view extra) {
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  for (std::size_t at = 0; at + 4 <= extra.size(); at += 4 + le16(p + at + 2)) {
    if (le16(p + at) == 0x0001) return true;
  }
  return false;
}

std::optional<std::int64_t> extendedMtime(std::string_view extra) {
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  for (std::size_t at = 0; at + 4 <= extra.size(); at += 4 + le16(p + at + 2)) {
    std::size_t size = le16(p + at + 2);
    if (at + 4 + size > extra.size()) break;
    if (le16(p + at) == 0x5455 && size >= 5 && (p[at + 4] & 1)) {
      return static_cast<std::int32_t>(le32(p + at + 5));
    }
  }
  return std::nullopt;
}

std::int64_t dosTimeToUnix(std::uint16_t time, std::uint16_t date) {
  std::tm tm{};
  tm.tm_year = ((date >> 9) & 0x7f) + 80;
  tm.tm_mon = ((date >> 5) & 0x0f) - 1;
  tm.tm_mday = date & 0x1f;
  tm.tm_hour = (time >> 11) & 0x1f;
  tm.tm_min = (time >> 5) & 0x3f;
  tm.tm_sec = (time & 0x1f) * 2;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

void writeAll(int fd, const unsigned char* data, std::size_t size, const std::string& name) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(name + ": " + std::strerror(errno));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

// Buffered reading of the archive on the unpacking thread.
class StreamInput {
 public:
  explicit StreamInput(StreamUnpacker& owner) : owner_(owner), buffer_(kBlock) {}

  // Buffered bytes, refilled when empty; empty only at the end.
  std::span<const unsigned char> available() {
    if (begin_ == end_) {
      begin_ = 0;
      end_ = owner_.pull(buffer_.data(), buffer_.size());
      checkCancelled();
    }
    return {buffer_.data() + begin_, end_ - begin_};
  }
  void consume(std::size_t n) {
    begin_ += n;
    offset_ += n;
  }
  void read(void* out, std::size_t n) {
    auto* to = static_cast<unsigned char*>(out);
    while (n > 0) {
      auto some = available();
      if (some.empty()) fail("the archive ends early");
      std::size_t take = std::min(n, some.size());
      std::memcpy(to, some.data(), take);
      consume(take);
      to += take;
      n -= take;
    }
  }
  std::string readString(std::size_t n) {
    std::string s(n, '\0');
    read(s.data(), n);
    return s;
  }
  std::uint32_t read32() {
    unsigned char b[4];
    read(b, 4);
    return le32(b);
  }
  bool atEnd() { return available().empty(); }
  std::uint64_t offset() const { return offset_; }
  void checkCancelled();

 private:
  StreamUnpacker& owner_;
  std::vector<unsigned char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t offset_ = 0;
};

namespace {

// The work of the unpacking thread: the local entries as they come, then
// the central directory, then the modes, links and times it gives.
class StreamExtraction {
 public:
  StreamExtraction(StreamInput& in, const fs::path& staging)
      : in_(in), staging_(staging), budget_(staging), output_(kBlock) {}

  void run() {
    std::uint32_t signature = in_.atEnd() ? 0 : in_.read32();
    if (signature == 0) fail("the archive is empty");
    while (signature == kLocalSignature) {
      readLocalEntry(in_.offset() - 4);
      signature = in_.read32();
    }
    std::uint64_t centralStart = in_.offset() - 4;
    std::vector<CentralEntry> central;
    while (signature == kCentralSignature) {
      central.push_back(readCentralEntry());
      signature = in_.read32();
    }
    readEnd(signature, centralStart, central.size());
    if (!in_.atEnd()) fail("unexpected data after the end of the archive");
    applyCentral(central);
    foldSequesteredMetadata(staging_);
  }

 private:
  void readLocalEntry(std::uint64_t offset) {
    unsigned char h[26];
    in_.read(h, sizeof h);
    LocalEntry e;
    e.offset = offset;
    std::uint16_t flags = le16(h + 2);
    e.method = le16(h + 4);
    e.crc = le32(h + 10);
    e.compressed = le32(h + 14);
    e.size = le32(h + 18);
    e.name = in_.readString(le16(h + 22));
    std::string extra = in_.readString(le16(h + 24));
    bool zip64 = hasZip64(extra);
    if (zip64) readZip64(extra, {&e.size, &e.compressed});
    e.mtime = extendedMtime(extra);

    std::string path = withoutSlash(e.name);
    if (!isContainedName(path)) fail("refusing entry outside the destination: " + e.name);
    if (flags & 1) fail(e.name + ": encrypted entries are not supported");
    if (e.method != 0 && e.method != 8) fail(e.name + ": unsupported compression method");
    bool descriptor = flags & 8;
    bool directory = isDirectoryName(e.name);
    if (descriptor && e.method == 0 && !directory) fail(e.name + ": stored entry of unknown size");
    if (!budget_.charge(descriptor ? 0 : e.size)) fail(kNoSpaceMessage);

    std::uint32_t crc = 0;
    std::uint64_t compressed = 0, size = 0;
    {
      std::optional<FileDescriptor> file;
      if (directory) {
        makeDirectories(path);
      } else {
        makeDirectories(fs::path(path).parent_path());
        int fd = ::open((staging_ / path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600);
        if (fd < 0) fail(e.name + (errno == EEXIST ? ": the name is in the archive twice" : ": cannot be written"));
        file.emplace(fd);
      }
      auto sink = [&](const unsigned char* data, std::size_t n) {
        if (n == 0) return;
        if (!file) fail(e.name + ": a directory with data");
        size += n;
        if ((descriptor || size > e.size) && !budget_.chargeBytes(n)) fail(kNoSpaceMessage);
        crc = static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(n)));
        writeAll(file->get(), data, n, e.name);
      };
      if (e.method == 0) {
        copyStored(descriptor ? 0 : e.compressed, sink);
        compressed = size;
      } else {
        compressed = inflateEntry(descriptor ? std::nullopt : std::optional(e.compressed), e.name, sink);
      }
    }
    if (descriptor) {
      unsigned char d[24];
      std::uint32_t first = in_.read32();
      std::size_t rest = zip64 ? 20 : 12;
      if (first == kDescriptorSignature) {
        in_.read(d, rest);
      } else {
        d[0] = first & 0xff, d[1] = (first >> 8) & 0xff, d[2] = (first >> 16) & 0xff, d[3] = first >> 24;
        in_.read(d + 4, rest - 4);
      }
      e.crc = le32(d);
      e.compressed = zip64 ? le64(d + 4) : le32(d + 4);
      e.size = zip64 ? le64(d + 12) : le32(d + 8);
    }
    if (crc != e.crc || size != e.size || compressed != e.compressed) {
      fail(e.name + ": the data does not match its size or CRC-32");
    }
    if (!locals_.emplace(e.offset, std::move(e)).second) fail("bad archive offsets");
  }

  template <typename Sink>
  void copyStored(std::uint64_t length, Sink& sink) {
    while (length > 0) {
      auto some = in_.available();
      if (some.empty()) fail("the archive ends early");
      std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length, some.size()));
      sink(some.data(), take);
      in_.consume(take);
      length -= take;
    }
  }

  // Inflates one raw deflate stream into `sink`; the compressed size read.
  template <typename Sink>
  std::uint64_t inflateEntry(std::optional<std::uint64_t> length, const std::string& name, Sink& sink) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) fail("cannot start inflating");
    struct End {
      z_stream& z;
      ~End() { inflateEnd(&z); }
    } end{z};
    std::uint64_t used = 0;
    for (;;) {
      auto some = in_.available();
      if (some.empty()) fail("the archive ends early");
      std::size_t offer = some.size();
      if (length) offer = static_cast<std::size_t>(std::min<std::uint64_t>(offer, *length - used));
      if (offer == 0) fail(name + ": the compressed data is longer than its size");
      z.next_in = const_cast<Bytef*>(some.data());
      z.avail_in = static_cast<uInt>(offer);
      int r = Z_OK;
      do {
        z.next_out = output_.data();
        z.avail_out = static_cast<uInt>(output_.size());
        r = inflate(&z, Z_NO_FLUSH);
        if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) fail(name + ": bad compressed data");
        sink(output_.data(), output_.size() - z.avail_out);
      } while (r == Z_OK && z.avail_out == 0);
      std::size_t consumed = offer - z.avail_in;
      in_.consume(consumed);
      used += consumed;
      if (r == Z_STREAM_END) return used;
      in_.checkCancelled();
    }
  }

  // Creates `relative` and its missing parents below the staging folder;
  // what is already there must be a real directory.
  void makeDirectories(const fs::path& relative) {
    fs::path at = staging_;
    for (const auto& part : relative) {
      at /= part;
      if (::mkdir(at.c_str(), 0700) == 0) {
        implicit_.push_back(at);
        continue;
      }
      struct stat st;
      if (errno != EEXIST || lstat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fail(relative.string() + ": cannot create the directory");
      }
    }
  }

  CentralEntry readCentralEntry() {
    unsigned char h[42];
    in_.read(h, sizeof h);
    CentralEntry c;
    c.madeBy = le16(h);
    c.method = le16(h + 6);
    c.dosTime = le16(h + 8);
    c.dosDate = le16(h + 10);
    c.crc = le32(h + 12);
    c.compressed = le32(h + 16);
    c.size = le32(h + 20);
    std::size_t nameLength = le16(h + 24), extraLength = le16(h + 26), commentLength = le16(h + 28);
    c.externalAttributes = le32(h + 34);
    c.offset = le32(h + 38);
    c.name = in_.readString(nameLength);
    std::string extra = in_.readString(extraLength);
    in_.readString(commentLength);
    readZip64(extra, {&c.size, &c.compressed, &c.offset});
    return c;
  }

  void readEnd(std::uint32_t signature, std::uint64_t centralStart, std::size_t count) {
    if (signature == kZip64EndSignature) {
      unsigned char size[8];
      in_.read(size, 8);
      std::uint64_t length = le64(size);
      if (length < 44 || length > (1u << 20)) fail("bad ZIP64 end record");
      std::string record = in_.readString(static_cast<std::size_t>(length));
      const auto* p = reinterpret_cast<const unsigned char*>(record.data());
      if (le64(p + 20) != count || le64(p + 36) != centralStart) fail("the end record does not match the central directory");
      if (in_.read32() != kZip64LocatorSignature) fail("missing ZIP64 end locator");
      in_.readString(16);
      signature = in_.read32();
    }
    if (signature != kEndSignature) fail("unexpected data where the central directory should be");
    unsigned char e[18];
    in_.read(e, sizeof e);
    std::uint16_t entries = le16(e + 6);
    std::uint32_t start = le32(e + 12);
    if ((entries != 0xffff && entries != count) || (start != kUnset32 && start != centralStart)) {
      fail("the end record does not match the central directory");
    }
    in_.readString(le16(e + 16));
  }

  struct Placed {
    fs::path path;
    mode_t type;
    mode_t permissions;
    std::int64_t mtime;
  };

  void applyCentral(const std::vector<CentralEntry>& central) {
    std::vector<Placed> placed;
    for (const CentralEntry& c : central) {
      auto it = locals_.find(c.offset);
      if (it == locals_.end()) fail(c.name + ": listed in the central directory but not in the archive");
      LocalEntry& l = it->second;
      if (l.listed) fail(c.name + ": listed twice in the central directory");
      l.listed = true;
      if (l.name != c.name) fail(c.name + ": the central directory names it " + l.name);
      if (l.method != c.method || l.crc != c.crc || l.size != c.size || l.compressed != c.compressed) {
        fail(c.name + ": the central directory disagrees with its local header");
      }
      bool directory = isDirectoryName(c.name);
      mode_t mode = (c.madeBy >> 8) == 3 ? static_cast<mode_t>(c.externalAttributes >> 16) : 0;
      mode_t type = mode & S_IFMT;
      mode_t permissions = mode & 0777;
      if (mode == 0) {
        type = directory || (c.externalAttributes & 0x10) ? S_IFDIR : S_IFREG;
        permissions = type == S_IFDIR ? 0775 : ((c.externalAttributes & 1) ? 0444 : 0664);
      } else if (type == 0) {
        type = directory ? S_IFDIR : S_IFREG;
      }
      if ((type == S_IFDIR) != directory) fail(c.name + ": its type disagrees with its data");
      if (type == S_IFLNK && (l.size == 0 || l.size >= PATH_MAX)) fail(c.name + ": not a symbolic link");
      fs::path relative = fs::path(withoutSlash(c.name)).lexically_normal();
      if (relative == ".") continue;  // the staging folder itself stays private
      fs::path path = staging_ / relative;
      if (type != S_IFREG && type != S_IFDIR && type != S_IFLNK) {
        removeTree(path);  // never devices or pipes from a download
        continue;
      }
      placed.push_back({path, type, permissions, l.mtime ? *l.mtime : dosTimeToUnix(c.dosTime, c.dosDate)});
    }
    for (const auto& [offset, l] : locals_) {
      if (!l.listed) fail(l.name + ": missing from the central directory");
    }
    for (const Placed& p : placed) {
      if (p.type == S_IFLNK) makeLink(p.path);
    }
    for (const fs::path& dir : implicit_) ::chmod(dir.c_str(), 0755);
    // Directories last and deepest first, so that a read-only one is
    // filled before it is closed.
    std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
      if ((a.type == S_IFDIR) != (b.type == S_IFDIR)) return b.type == S_IFDIR;
      return a.type == S_IFDIR && a.path.native().size() > b.path.native().size();
    });
    for (const Placed& p : placed) {
      if (p.type != S_IFLNK && ::chmod(p.path.c_str(), p.permissions) != 0) {
        fail(p.path.string() + ": cannot set its mode");
      }
      timespec times[2] = {{p.mtime, 0}, {p.mtime, 0}};
      ::utimensat(AT_FDCWD, p.path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
  }

  void makeLink(const fs::path& path) {
    std::string target;
    {
      FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      if (fd.get() < 0) fail(path.string() + ": cannot read the link");
      char buffer[PATH_MAX];
      ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n <= 0) fail(path.string() + ": cannot read the link");
      target.assign(buffer, static_cast<std::size_t>(n));
    }
    if (target.find('\0') != std::string::npos) fail(path.string() + ": not a symbolic link");
    if (::unlink(path.c_str()) != 0 || ::symlink(target.c_str(), path.c_str()) != 0) {
      fail(path.string() + ": cannot make the link");
    }
  }

  StreamInput& in_;
  fs::path staging_;
  SpaceBudget budget_;
  std::vector<unsigned char> output_;
  std::map<std::uint64_t, LocalEntry> locals_;
  std::vector<fs::path> implicit_;  // directories made here, listed or not
};

}  // namespace

namespace {

struct ArchiveReader {
  archive* a = archive_read_new();
  ~ArchiveReader() { archive_read_free(a); }
};

std::string errorOf(archive* a, const char* fallback) {
  const char* text = archive_error_string(a);
  return text ? text : fallback;
}

// libarchive reads the package from the stream; a failure of the stream
// (a cancel, a short package) is kept for the report and ends the read.
struct StreamSource {
  StreamInput* in;
  std::string failure;
};
la_ssize_t readStream(archive* a, void* context, const void** buffer) {
  auto* source = static_cast<StreamSource*>(context);
  try {
    auto some = source->in->available();
    source->in->consume(some.size());
    *buffer = some.data();
    return static_cast<la_ssize_t>(some.size());
  } catch (const Failure& failure) {
    source->failure = failure.message;
    archive_set_error(a, ECANCELED, "%s", failure.message.c_str());
    return -1;
  }
}

// A payload is read from the data of its entry in the package.
struct EntrySource {
  archive* outer;
  std::vector<char> buffer;
};
la_ssize_t readEntry(archive* a, void* context, const void** buffer) {
  auto* source = static_cast<EntrySource*>(context);
  la_ssize_t n = archive_read_data(source->outer, source->buffer.data(), source->buffer.size());
  if (n < 0) {
    archive_set_error(a, EIO, "%s", errorOf(source->outer, "read error").c_str());
    return -1;
  }
  *buffer = source->buffer.data();
  return n;
}

void unpackFlatPackage(StreamInput& in, const fs::path& staging) {
  fs::path base = fs::canonical(staging);
  fs::create_directory(base / "expanded");
  fs::create_directory(base / "payloads");
  holdXmlParser();
  ArchiveReader outer;
  archive_read_support_format_xar(outer.a);
  StreamSource source{&in, {}};
  if (archive_read_open(outer.a, &source, nullptr, readStream, nullptr) != ARCHIVE_OK) {
    fail(source.failure.empty() ? errorOf(outer.a, "not a flat installer package") : source.failure);
  }
  auto payload = [&](archive_entry* entry, const std::string& name, std::string* error) -> std::optional<bool> {
    fs::path path(name);
    if (archive_entry_filetype(entry) != AE_IFREG ||
        (path.filename() != "Payload" && path.filename() != "Payload.gz")) {
      return std::nullopt;
    }
    fs::path into = base / "payloads" / path.parent_path();
    std::error_code ec;
    fs::create_directories(into, ec);
    ArchiveReader inner;
    archive_read_support_format_cpio(inner.a);
    archive_read_support_filter_gzip(inner.a);
    archive_read_support_filter_bzip2(inner.a);
    archive_read_support_filter_xz(inner.a);
    EntrySource data{outer.a, std::vector<char>(kBlock)};
    if (ec || archive_read_open(inner.a, &data, nullptr, readEntry, nullptr) != ARCHIVE_OK) {
      *error = name + ": " + errorOf(inner.a, "cannot be read");
      return false;
    }
    if (!extractEntries(inner.a, into, error)) {
      *error = name + ": " + *error;
      return false;
    }
    return true;
  };
  std::string error;
  if (!extractEntries(outer.a, base / "expanded", &error, payload)) {
    fail(source.failure.empty() ? error : source.failure);
  }
  // What the table of contents does not list (a signature's certificates
  // beyond the files) is read and dropped, so the producer never blocks.
  while (!in.atEnd()) in.consume(in.available().size());
}

}  // namespace

void StreamInput::checkCancelled() {
  std::lock_guard lock(owner_.mu_);
  if (owner_.cancelled_) fail("cancelled");
}

StreamUnpacker::StreamUnpacker(fs::path staging, StreamFormat format)
    : staging_(std::move(staging)), format_(format) {
  if (::mkdir(staging_.c_str(), 0700) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot create " + staging_.string());
  }
  try {
    worker_ = std::thread([this] { run(); });
  } catch (...) {
    removeTree(staging_);
    throw;
  }
}

StreamUnpacker::~StreamUnpacker() {
  if (worker_.joinable()) {
    cancel();
    worker_.join();
  }
}

bool StreamUnpacker::feed(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    std::size_t take = std::min(size, kBlock);
    std::vector<unsigned char> block(bytes, bytes + take);
    std::unique_lock lock(mu_);
    changed_.wait(lock, [&] { return queued_ + take <= kMaxQueued || cancelled_ || done_; });
    if (cancelled_ || done_) return false;
    queue_.push_back(std::move(block));
    queued_ += take;
    changed_.notify_all();
    bytes += take;
    size -= take;
  }
  std::lock_guard lock(mu_);
  return !cancelled_ && !done_;
}

std::size_t StreamUnpacker::pull(unsigned char* out, std::size_t size) {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [&] { return !queue_.empty() || closed_ || cancelled_; });
  if (cancelled_ || queue_.empty()) return 0;
  auto& front = queue_.front();
  std::size_t take = std::min(size, front.size() - frontOffset_);
  std::memcpy(out, front.data() + frontOffset_, take);
  frontOffset_ += take;
  if (frontOffset_ == front.size()) {
    queued_ -= front.size();
    queue_.pop_front();
    frontOffset_ = 0;
    changed_.notify_all();
  }
  return take;
}

void StreamUnpacker::run() {
  std::string error;
  bool ok = false;
  try {
    StreamInput in(*this);
    if (format_ == StreamFormat::zip) {
      StreamExtraction extraction(in, staging_);
      extraction.run();
    } else {
      unpackFlatPackage(in, staging_);
    }
    ok = true;
  } catch (const Failure& failure) {
    error = failure.message;
  } catch (const std::exception& e) {
    error = e.what();
  }
  std::unique_lock lock(mu_);
  if (cancelled_) {
    ok = false;
    error = "cancelled";
  }
  if (!ok) {
    lock.unlock();
    removeTree(staging_);
    lock.lock();
  }
  ok_ = ok;
  error_ = error;
  done_ = true;
  queue_.clear();
  queued_ = 0;
  changed_.notify_all();
}

bool StreamUnpacker::finish(std::string* error) {
  {
    std::unique_lock lock(mu_);
    closed_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return done_; });
  }
  if (worker_.joinable()) worker_.join();
  std::lock_guard lock(mu_);
  if (!ok_ && error) *error = error_;
  return ok_;
}

void StreamUnpacker::cancel() {
  std::unique_lock lock(mu_);
  cancelled_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return done_; });
}

std::optional<std::uint64_t> zipUncompressedTotal(std::string_view tail, std::uint64_t archiveSize,
                                                  std::uint64_t* needed) {
  *needed = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(tail.data());
  if (tail.size() < 22 || tail.size() > archiveSize) return std::nullopt;
  // The end record is the last 22 bytes plus a comment of up to 64 KiB.
  std::size_t end = tail.size() - 22;
  for (;; --end) {
    if (le32(p + end) == kEndSignature && end + 22 + le16(p + end + 20) == tail.size()) break;
    if (end == 0 || tail.size() - end > 22 + 0xffff) return std::nullopt;
  }
  std::uint64_t tailStart = archiveSize - tail.size();
  std::uint64_t count = le16(p + end + 10);
  std::uint64_t size = le32(p + end + 12);
  std::uint64_t offset = le32(p + end + 16);
  if (count == 0xffff || size == kUnset32 || offset == kUnset32) {
    if (end < 20 || le32(p + end - 20) != kZip64LocatorSignature) return std::nullopt;
    std::uint64_t record = le64(p + end - 12);
    if (record < tailStart) {
      *needed = archiveSize - record;
      return std::nullopt;
    }
    std::size_t at = static_cast<std::size_t>(record - tailStart);
    if (at + 56 > tail.size() || le32(p + at) != kZip64EndSignature) return std::nullopt;
    count = le64(p + at + 32);
    size = le64(p + at + 40);
    offset = le64(p + at + 48);
  }
  if (offset > archiveSize || size > archiveSize - offset) return std::nullopt;
  if (offset < tailStart) {
    *needed = archiveSize - offset;
    return std::nullopt;
  }
  std::uint64_t total = 0;
  std::size_t at = static_cast<std::size_t>(offset - tailStart);
  try {
    for (std::uint64_t i = 0; i < count; ++i) {
      if (at + 46 > tail.size() || le32(p + at) != kCentralSignature) return std::nullopt;
      std::uint64_t compressed = le32(p + at + 20), uncompressed = le32(p + at + 24), local = le32(p + at + 42);
      std::size_t nameLength = le16(p + at + 28), extraLength = le16(p + at + 30);
      std::size_t length = 46 + nameLength + extraLength + le16(p + at + 32);
      if (at + length > tail.size()) return std::nullopt;
      readZip64(tail.substr(at + 46 + nameLength, extraLength), {&uncompressed, &compressed, &local});
      total += uncompressed;
      at += length;
    }
  } catch (const Failure&) {
    return std::nullopt;
  }
  return total;
}

}  // namespace installer::helpers
