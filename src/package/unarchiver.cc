#include "package/unarchiver.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>

#include "extract/archive_extract.h"
#include "extract/space_reserve.h"
#include "platform/system_info.h"

namespace installer {

namespace fs = std::filesystem;

namespace {

std::string prefixFor(UnarchiveError::Case kind) {
  switch (kind) {
    case UnarchiveError::Case::unsupported: return "unsupported package format: ";
    case UnarchiveError::Case::mountFailed: return "Can't mount DMG: ";
    case UnarchiveError::Case::notarizationRejected: return "signature check failed: ";
    case UnarchiveError::Case::extractFailed: return "extract failed: ";
    case UnarchiveError::Case::noApplicationFound: return "No application found: ";
  }
  return "";
}

std::string lowercased(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string extensionOf(const fs::path& p) {
  std::string ext = p.extension().string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  return ext;
}

std::string trimmed(const std::string& s) {
  const char* blanks = " \t\n\r\v\f";
  auto b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

bool contains(const std::string& s, const char* needle) {
  return s.find(needle) != std::string::npos;
}

fs::path makeTemporaryDirectory(const fs::path& parent, const char* prefix) {
  fs::path dir = parent / (std::string(prefix) + platform::makeUUID());
  fs::create_directories(dir);  // throws filesystem_error
  return dir;
}

// Archives may carry read-only directories; they must not stop a clean-up.
void removeQuietly(const fs::path& p) { helpers::removeTree(p); }

// Removes what an unpacking wrote below `directory`, read-only
// directories included, and keeps the directory itself.
void emptyDirectory(const fs::path& directory) {
  std::error_code ec;
  std::vector<fs::path> children;
  for (const auto& e : fs::directory_iterator(directory, ec)) children.push_back(e.path());
  for (const auto& child : children) helpers::removeTree(child);
}

// Whether the `cpio` that `shell` finds is GNU cpio, asked once per shell.
bool cpioIsGNU(const fs::path& shell) {
  static std::mutex lock;
  static std::map<fs::path, bool> answers;
  std::lock_guard<std::mutex> guard(lock);
  if (auto it = answers.find(shell); it != answers.end()) return it->second;
  try {
    ToolResult probe = runTool(shell, {"-c", "cpio --version"});
    return answers[shell] = contains(probe.output, "GNU cpio");
  } catch (const std::system_error&) {
    return false;  // the unpack itself reports the shell that cannot start
  }
}

void assessSignature(const fs::path& archive, const PackageTools& tools) {
  ToolResult result;
  try {
    result = runTool(tools.spctl, {"-a", "-v", archive.string()});
  } catch (const std::system_error&) {
    return;  // no assessment tool: nothing to assess with
  }
  const std::string& out = result.output;
  if (contains(out, "Notarized Developer ID")) return;
  if (contains(out, "accepted") && !contains(out, "Developer ID")) {
    throw UnarchiveError(UnarchiveError::Case::notarizationRejected, trimmed(out));
  }
}

bool startsWithGzipMagic(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  char magic[2] = {0, 0};
  in.read(magic, 2);
  return in.gcount() == 2 && magic[0] == '\x1f' && magic[1] == '\x8b';
}

UnarchivedPayload unpackDiskImage(const fs::path& archive, const fs::path& workingDirectory,
                                  const PackageTools& tools) {
  assessSignature(archive, tools);
  fs::path mountPoint = makeTemporaryDirectory(workingDirectory, "mnt-");
  ToolResult attach = runTool(tools.hdiutil, {"attach", archive.string(), "-nobrowse", "-noautoopen",
                                              "-noverify", "-mountpoint", mountPoint.string()});
  if (attach.status != 0) {
    throw UnarchiveError(UnarchiveError::Case::mountFailed,
                         "hdiutil failed with code: " + std::to_string(attach.status) +
                             " data: <<" + attach.output + ">>");
  }
  std::vector<fs::path> found;
  findApplications(mountPoint, 0, found);
  if (found.empty()) {
    detachImage(mountPoint, tools);
    throw UnarchiveError(UnarchiveError::Case::noApplicationFound,
                         "Couldn't enumerate contents of archive mounted at " + mountPoint.string());
  }
  return {found.front(), [mountPoint, tools] { detachImage(mountPoint, tools); }};
}

UnarchivedPayload unpackZip(const fs::path& archive, const fs::path& workingDirectory,
                            const PackageTools& tools) {
  fs::path dir = makeTemporaryDirectory(workingDirectory, "unzip-");
  ToolResult ditto = runTool(tools.ditto, {"-V", "-x", "-k", "--sequesterRsrc", "--rsrc",
                                           archive.string(), dir.string()});
  if (ditto.status != 0) {
    throw UnarchiveError(UnarchiveError::Case::extractFailed,
                         "ditto failed with code: " + std::to_string(ditto.status));
  }
  std::vector<fs::path> found;
  findApplications(dir, 0, found);
  if (found.empty()) throw UnarchiveError(UnarchiveError::Case::noApplicationFound, dir.string());
  return {found.front(), [dir] { removeQuietly(dir); }};
}

UnarchivedPayload unpackInstallerPackage(const fs::path& archive, const fs::path& workingDirectory,
                                         const PackageTools& tools) {
  fs::path expanded = makeTemporaryDirectory(workingDirectory, "pkg-");
  ToolResult expand = runTool(tools.pkgutil, {"--expand", archive.string(), expanded.string()});
  if (expand.status != 0) {
    throw UnarchiveError(UnarchiveError::Case::extractFailed,
                         "Failed to expand PKG file: " + expand.output);
  }
  fs::path plain = expanded / "Payload";
  fs::path compressed = expanded / "Payload.gz";
  std::error_code ec;
  bool hasCompressed = fs::exists(compressed, ec);
  bool hasPlain = fs::exists(plain, ec);
  if (!hasCompressed && !hasPlain) {
    emptyDirectory(expanded);
    throw UnarchiveError(UnarchiveError::Case::extractFailed, "Failed to find Payload in expanded PKG");
  }
  fs::path payloadDir = makeTemporaryDirectory(workingDirectory, "payload-");
  // A payload that cannot be unpacked leaves nothing of the package behind.
  auto refuse = [&] {
    emptyDirectory(expanded);
    emptyDirectory(payloadDir);
    return UnarchiveError(UnarchiveError::Case::extractFailed, "Failed to extract Payload");
  };
  const fs::path& payload = hasCompressed ? compressed : plain;

  // cpio follows "../" and absolute names, and writes through symbolic links
  // it has just made; a payload must stay inside its directory, and fit.
  if (!payloadIsUnpackable(payload, payloadDir)) throw refuse();
  // A "Payload" is usually gzip'd cpio too, whatever its name says.
  bool gzipped = hasCompressed || startsWithGzipMagic(plain);
  // Only GNU cpio knows (and needs) this option; BSD cpio refuses it and
  // is safe by default. The check above protects with either.
  std::string cpio = cpioIsGNU(tools.shell) ? "cpio -idm --no-absolute-filenames" : "cpio -idm";
  std::string command = gzipped ? "cd " + shellQuote(payloadDir.string()) + " && gunzip -c " +
                                      shellQuote(payload.string()) + " | " + cpio
                                : "cd " + shellQuote(payloadDir.string()) + " && " + cpio + " < " +
                                      shellQuote(plain.string());
  ToolResult unpack = runTool(tools.shell, {"-c", command});
  if (unpack.status != 0) throw refuse();

  for (const char* place : {"Applications", "usr/local/Applications", "Library/Application Support"}) {
    std::vector<fs::path> found;
    findApplications(payloadDir / place, 0, found);
    if (!found.empty()) {
      return {found.front(), [expanded, payloadDir] {
                removeQuietly(expanded);
                removeQuietly(payloadDir);
              }};
    }
  }
  throw UnarchiveError(UnarchiveError::Case::noApplicationFound, "No application found in extracted Payload");
}

struct ArchiveReader {
  archive* a = archive_read_new();
  ~ArchiveReader() { archive_read_free(a); }
};

}  // namespace

UnarchiveError::UnarchiveError(Case kind, std::string detail)
    : kind_(kind), detail_(std::move(detail)), description_(prefixFor(kind) + detail_) {}

UnarchivedPayload unarchivePackage(const fs::path& archive, const fs::path& workingDirectory,
                                   const PackageTools& tools) {
  std::string ext = lowercased(extensionOf(archive));
  if (ext == "dmg") return unpackDiskImage(archive, workingDirectory, tools);
  if (ext == "zip") return unpackZip(archive, workingDirectory, tools);
  if (ext == "pkg") return unpackInstallerPackage(archive, workingDirectory, tools);
  throw UnarchiveError(UnarchiveError::Case::unsupported, ext);
}

void findApplications(const fs::path& directory, int depth, std::vector<fs::path>& results) {
  if (depth > 2) return;
  std::error_code ec;
  fs::directory_iterator it(directory, ec);
  if (ec) return;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    const fs::path& entry = it->path();
    std::string name = entry.filename().string();
    if (name.empty() || name[0] == '.') continue;
    if (lowercased(extensionOf(entry)) == "app") {
      results.push_back(entry);
      continue;
    }
    std::error_code statError;
    auto status = it->symlink_status(statError);
    if (statError) continue;
    if (fs::is_directory(status)) findApplications(entry, depth + 1, results);
  }
}

void detachImage(const fs::path& mountPoint, const PackageTools& tools) {
  try {
    runTool(tools.hdiutil, {"detach", mountPoint.string(), "-force"});
  } catch (const std::exception&) {
  }
  removeQuietly(mountPoint);
}

bool payloadIsUnpackable(const fs::path& payload, const fs::path& destination) {
  helpers::SpaceBudget budget(destination);
  ArchiveReader reader;
  archive_read_support_filter_all(reader.a);
  archive_read_support_format_cpio(reader.a);
  if (archive_read_open_filename(reader.a, payload.c_str(), 1 << 16) != ARCHIVE_OK) return false;
  std::set<fs::path> links;
  archive_entry* entry = nullptr;
  int rc;
  while ((rc = archive_read_next_header(reader.a, &entry)) == ARCHIVE_OK) {
    const char* rawName = archive_entry_pathname(entry);
    if (rawName == nullptr) return false;
    fs::path name = fs::path(rawName).lexically_normal();
    if (name.is_absolute()) return false;
    fs::path prefix;
    for (const auto& part : name) {
      if (part == "..") return false;
      if (part == "." || part.empty()) continue;
      prefix /= part;
      if (prefix != name && links.count(prefix)) return false;
    }
    if (archive_entry_filetype(entry) == AE_IFLNK) links.insert(name);
    std::int64_t size = archive_entry_size(entry);
    if (!budget.charge(size > 0 ? static_cast<std::uint64_t>(size) : 0)) return false;
    // Hard links name another entry; one naming something outside, or
    // reaching it through a symbolic link, is refused like an escaping name.
    if (const char* target = archive_entry_hardlink(entry)) {
      fs::path t = fs::path(target).lexically_normal();
      if (t.is_absolute()) return false;
      fs::path through;
      for (const auto& part : t) {
        if (part == "..") return false;
        through /= part;
        if (through != t && links.count(through)) return false;
      }
    }
  }
  return rc == ARCHIVE_EOF;
}

}  // namespace installer
