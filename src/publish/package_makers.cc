#include "publish/package_makers.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>


namespace installer::publish {

namespace fs = std::filesystem;

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

namespace {

// Switches the calling thread's locale while alive.
class ThreadLocale {
 public:
  explicit ThreadLocale(const char* name) : locale_(newlocale(LC_ALL_MASK, name, nullptr)) {
    if (locale_) saved_ = uselocale(locale_);
  }
  ~ThreadLocale() {
    if (!locale_) return;
    uselocale(saved_);
    freelocale(locale_);
  }
  ThreadLocale(const ThreadLocale&) = delete;
  ThreadLocale& operator=(const ThreadLocale&) = delete;

 private:
  locale_t locale_;
  locale_t saved_ = nullptr;
};

void check(int r, archive* a, const char* what) {
  if (r < ARCHIVE_WARN) {
    throw std::runtime_error(std::string(what) + ": " +
                             (archive_error_string(a) ? archive_error_string(a) : "?"));
  }
}

std::string readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  if (!in && !in.eof()) throw std::runtime_error("cannot read " + file.string());
  return ss.str();
}

// A private directory for intermediate files, removed with what is in it.
class Scratch {
 public:
  explicit Scratch(const std::string& label) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = (fs::path(tmp && *tmp ? tmp : "/tmp") / (label + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
    path_ = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

std::string payloadBytes(const std::vector<ArchiveEntry>& entries, ArchiveFormat format) {
  Scratch tmp("payload");
  writeArchive(tmp / "p", format, entries);
  return readBytes(tmp / "p");
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out.append("'\\''");
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\'');
  return out;
}

}  // namespace

std::vector<ArchiveEntry> entriesFromTree(const fs::path& root, const std::string& prefix) {
  std::vector<ArchiveEntry> entries;
  std::vector<fs::path> paths;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    paths.push_back(it->path());
  }
  std::sort(paths.begin(), paths.end());
  for (const auto& p : paths) {
    ArchiveEntry e;
    e.path = prefix + p.lexically_relative(root).string();
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) throw std::runtime_error("stat " + p.string());
    e.mode = st.st_mode & 07777;
    e.mtime = st.st_mtime;
    if (S_ISLNK(st.st_mode)) {
      e.kind = ArchiveEntry::Kind::symlink;
      e.target = fs::read_symlink(p).string();
      e.mode = 0755;
    } else if (S_ISDIR(st.st_mode)) {
      e.kind = ArchiveEntry::Kind::directory;
    } else {
      e.data = readBytes(p);
    }
    entries.push_back(e);
  }
  return entries;
}

void writeArchive(const fs::path& file, ArchiveFormat format, const std::vector<ArchiveEntry>& entries) {
  // libarchive converts names through the thread's locale: UTF-8 here.
  ThreadLocale utf8("C.UTF-8");
  archive* a = archive_write_new();
  switch (format) {
    case ArchiveFormat::zip:
      archive_write_set_format_zip(a);
      break;
    case ArchiveFormat::cpioOdc:
      archive_write_set_format_cpio(a);
      break;
    case ArchiveFormat::cpioOdcGzip:
      archive_write_set_format_cpio(a);
      archive_write_add_filter_gzip(a);
      break;
    case ArchiveFormat::xar:
      archive_write_set_format_xar(a);
      archive_write_set_options(a, "xar:compression=none");
      break;
    case ArchiveFormat::tar:
      archive_write_set_format_pax_restricted(a);
      break;
  }
  if (format == ArchiveFormat::zip) archive_write_set_options(a, "zip:hdrcharset=UTF-8");
  check(archive_write_open_filename(a, file.c_str()), a, "open");
  la_int64_t inode = 0;
  for (const auto& e : entries) {
    archive_entry* entry = archive_entry_new();
    // Readers take entries with one inode number for hard links of each other.
    archive_entry_set_ino64(entry, ++inode);
    archive_entry_set_nlink(entry, 1);
    archive_entry_set_pathname(entry, e.path.c_str());
    archive_entry_set_mtime(entry, e.mtime, 0);
    archive_entry_set_uid(entry, 0);
    archive_entry_set_gid(entry, 0);
    switch (e.kind) {
      case ArchiveEntry::Kind::file:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, e.mode);
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
        break;
      case ArchiveEntry::Kind::directory:
        archive_entry_set_filetype(entry, AE_IFDIR);
        archive_entry_set_perm(entry, e.mode);
        archive_entry_set_size(entry, 0);  // cpio writers refuse an entry without one
        break;
      case ArchiveEntry::Kind::symlink:
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_perm(entry, 0755);
        archive_entry_set_symlink(entry, e.target.c_str());
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.target.size()));
        break;
      case ArchiveEntry::Kind::hardlink:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, e.mode);
        archive_entry_set_hardlink(entry, e.target.c_str());
        archive_entry_set_size(entry, 0);
        break;
    }
    check(archive_write_header(a, entry), a, "header");
    if (e.kind == ArchiveEntry::Kind::file && !e.data.empty()) {
      if (archive_write_data(a, e.data.data(), e.data.size()) < 0) check(ARCHIVE_FATAL, a, "data");
    }
    archive_entry_free(entry);
  }
  check(archive_write_close(a), a, "close");
  archive_write_free(a);
}

void makeInstallerPackage(const fs::path& pkg, const std::vector<ArchiveEntry>& payload,
                          PayloadNaming naming, const std::vector<ArchiveEntry>& container) {
  std::vector<ArchiveEntry> parts = container;
  parts.push_back({"Distribution", ArchiveEntry::Kind::file,
                   "<?xml version=\"1.0\"?>\n<installer-gui-script minSpecVersion=\"1\"/>\n", "", 0644});
  if (naming == PayloadNaming::gzippedAsPayload) {
    parts.push_back({"Payload", ArchiveEntry::Kind::file, payloadBytes(payload, ArchiveFormat::cpioOdcGzip),
                     "", 0644});
  } else if (naming != PayloadNaming::plain) {
    parts.push_back({"Payload.gz", ArchiveEntry::Kind::file, payloadBytes(payload, ArchiveFormat::cpioOdcGzip),
                     "", 0644});
  }
  if (naming == PayloadNaming::plain || naming == PayloadNaming::both) {
    // With both, the plain one is made unusable so a test sees which was read.
    std::string plain = naming == PayloadNaming::both ? std::string("not a cpio archive")
                                                      : payloadBytes(payload, ArchiveFormat::cpioOdc);
    parts.push_back({"Payload", ArchiveEntry::Kind::file, plain, "", 0644});
  }
  writeArchive(pkg, ArchiveFormat::xar, parts);
}

std::string packageInfo(const std::string& installLocation, const std::string& identifier, const std::string& version) {
  std::string location = installLocation.empty() ? "" : " install-location=\"" + xmlEscape(installLocation) + "\"";
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<pkg-info format-version=\"2\" identifier=\"" +
         xmlEscape(identifier) + "\"" + location + " version=\"" + xmlEscape(version) +
         "\" auth=\"root\">\n  <payload numberOfFiles=\"1\" installKBytes=\"1\"/>\n</pkg-info>\n";
}

void makeComponentPackage(const fs::path& pkg, const std::vector<ArchiveEntry>& payload, const std::string& identifier,
                          const std::string& version, const std::string& installLocation) {
  std::size_t bytes = 0;
  for (const auto& e : payload) bytes += e.data.size();
  std::string info = packageInfo(installLocation, identifier, version);
  const std::string counts = "numberOfFiles=\"1\" installKBytes=\"1\"";
  info.replace(info.find(counts), counts.size(),
               "numberOfFiles=\"" + std::to_string(payload.size()) + "\" installKBytes=\"" +
                   std::to_string((bytes + 1023) / 1024) + "\"");
  writeArchive(pkg, ArchiveFormat::xar,
               {{"Bom", ArchiveEntry::Kind::file, "BOMStore", "", 0644},
                {"PackageInfo", ArchiveEntry::Kind::file, info, "", 0644},
                {"Payload", ArchiveEntry::Kind::file, payloadBytes(payload, ArchiveFormat::cpioOdcGzip), "", 0644}});
}

void makeProductArchive(const fs::path& pkg, const std::vector<ComponentPackage>& components,
                        const std::vector<std::string>& order) {
  auto encoded = [](const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
      if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
        out += static_cast<char>(c);
      } else {
        const char* hex = "0123456789ABCDEF";
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
    return out;
  };
  // As productbuild writes it: the ids first in the choices, the files last.
  std::string lines, choices, files;
  for (const auto& name : order) {
    std::string id = "com.example." + encoded(name);
    lines += "    <line choice=\"" + id + "\"/>\n";
    choices += "  <choice id=\"" + id + "\"><pkg-ref id=\"" + id + "\"/></choice>\n";
    files += "  <pkg-ref id=\"" + id + "\" version=\"1.0\">#" + encoded(name) + ".pkg</pkg-ref>\n";
  }
  std::vector<ArchiveEntry> parts = {
      {"Distribution", ArchiveEntry::Kind::file,
       "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<installer-gui-script minSpecVersion=\"1\">\n"
       "  <title>Demo</title>\n  <choices-outline>\n" + lines + "  </choices-outline>\n" + choices + files +
           "</installer-gui-script>\n",
       "", 0644}};
  for (const auto& c : components) {
    parts.push_back({c.name + ".pkg/PackageInfo", ArchiveEntry::Kind::file, packageInfo(c.installLocation), "", 0644});
    parts.push_back({c.name + ".pkg/Bom", ArchiveEntry::Kind::file, "BOMStore", "", 0644});
    parts.push_back({c.name + ".pkg/Payload", ArchiveEntry::Kind::file,
                     payloadBytes(c.payload, ArchiveFormat::cpioOdcGzip), "", 0644});
  }
  writeArchive(pkg, ArchiveFormat::xar, parts);
}

std::string appleDouble(const std::string& finderInfo, const std::string& resourceFork,
                        const std::vector<std::pair<std::string, std::string>>& attributes) {
  auto be = [](std::uint32_t v, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xff);
    return out;
  };
  const std::uint32_t finderInfoAt = 26 + 2 * 12;
  std::size_t entriesSize = 0;
  for (const auto& a : attributes) entriesSize += (11 + a.first.size() + 1 + 3) & ~std::size_t{3};
  std::uint32_t dataStart = static_cast<std::uint32_t>(finderInfoAt + 34 + 36 + entriesSize);
  std::string entries, data;
  for (const auto& [name, value] : attributes) {
    std::string entry = be(static_cast<std::uint32_t>(dataStart + data.size()), 4) +
                        be(static_cast<std::uint32_t>(value.size()), 4) + be(0, 2) +
                        be(static_cast<std::uint32_t>(name.size() + 1), 1) + name + '\0';
    entry.resize((entry.size() + 3) & ~std::size_t{3}, '\0');
    entries += entry;
    data += value;
  }
  std::uint32_t finderInfoLength = static_cast<std::uint32_t>(34 + 36 + entries.size() + data.size());
  std::uint32_t forkAt = finderInfoAt + finderInfoLength;
  std::uint32_t total = forkAt + static_cast<std::uint32_t>(resourceFork.size());
  std::string info = finderInfo;
  info.resize(32, '\0');
  return be(0x00051607, 4) + be(0x00020000, 4) + "Mac OS X        " + be(2, 2) +   //
         be(9, 4) + be(finderInfoAt, 4) + be(finderInfoLength, 4) +                 //
         be(2, 4) + be(forkAt, 4) + be(static_cast<std::uint32_t>(resourceFork.size()), 4) +  //
         info + std::string(2, '\0') +                                              //
         "ATTR" + be(0, 4) + be(total, 4) + be(dataStart, 4) + be(static_cast<std::uint32_t>(data.size()), 4) +
         std::string(12, '\0') + be(0, 2) + be(static_cast<std::uint32_t>(attributes.size()), 2) +  //
         entries + data + resourceFork;
}

namespace {

// xorriso's HFS+ side of a hybrid image holding `grafts` (mkisofs
// graft points). `-r` gives every reader access; `-R` keeps the modes.
std::string hfsPartition(const std::vector<std::string>& grafts, const std::string& volumeName, bool keepModes) {
  Scratch tmp("dmg");
  fs::path iso = tmp / "volume.iso";
  // xorriso converts names through the locale; keep them UTF-8.
  std::string cmd = std::string("LC_ALL=C.UTF-8 xorriso -as mkisofs -quiet ") + (keepModes ? "-R" : "-r") +
                    " -hfsplus -V " + shellQuoted(volumeName) + " -o " + shellQuoted(iso.string()) + " -graft-points";
  for (const auto& graft : grafts) {
    cmd.push_back(' ');
    cmd.append(shellQuoted(graft));
  }
  cmd.append(" >/dev/null 2>&1");
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("xorriso failed: " + cmd);
  // The hybrid image carries an Apple partition map; cut out the HFS+ one.
  std::string bytes = readBytes(iso);
  auto be32 = [&](size_t off) {
    return (static_cast<uint32_t>(static_cast<unsigned char>(bytes[off])) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[off + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[off + 2])) << 8) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[off + 3]));
  };
  const size_t block = 512;
  std::string hfs;
  for (size_t i = 1; (i + 1) * block <= bytes.size(); ++i) {
    size_t e = i * block;
    if (bytes.compare(e, 2, "PM") != 0) break;
    std::string type(bytes.data() + e + 48, 32);
    type = type.c_str();
    if (type == "Apple_HFS") {
      size_t start = be32(e + 8), count = be32(e + 12);
      hfs = bytes.substr(start * block, count * block);
      break;
    }
  }
  if (hfs.empty()) throw std::runtime_error("no HFS+ partition in the xorriso image");
  return hfs;
}

}  // namespace

std::string makeHFSVolume(const fs::path& root, const std::string& volumeName) {
  return hfsPartition({"/=" + root.string()}, volumeName, false);
}

void makeApplicationDiskImage(const fs::path& bundle, const std::string& volumeName, const fs::path& dmg,
                              UdifChunks chunks) {
  Scratch links("volume");
  fs::create_directory(links / "root");
  fs::create_symlink("/Applications", links / "root" / "Applications");
  // A graft point names its target with "=" and "\\" as escapes.
  std::string name;
  for (char c : bundle.filename().string()) {
    if (c == '=' || c == '\\') name.push_back('\\');
    name.push_back(c);
  }
  writeUDIF({{"disk image (Apple_HFS : 0)",
              hfsPartition({"/=" + (links / "root").string(), "/" + name + "=" + bundle.string()}, volumeName, true)}},
            dmg, chunks);
}

void makeDiskImage(const fs::path& root, const std::string& volumeName, const fs::path& dmg,
                   UdifChunks chunks) {
  writeUDIF({{"disk image (Apple_HFS : 0)", makeHFSVolume(root, volumeName)}}, dmg, chunks);
}

}  // namespace installer::publish
