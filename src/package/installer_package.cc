#include "package/installer_package.h"

#include <archive.h>
#include <archive_entry.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "extract/space_reserve.h"
#include "extract/xml_parser_lifetime.h"
#include "package/bundle_search.h"
#include "package/no_follow.h"
#include "package/scratch_directories.h"

namespace installer {

namespace fs = std::filesystem;

namespace {

// PackageInfo and Distribution are a few kilobytes; anything far bigger is
// not one.
constexpr std::uintmax_t kMaxDocumentSize = 1u << 20;

bool isRegularFile(const fs::path& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isRealDirectory(const fs::path& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> readDocument(const fs::path& file) {
  return readFileBounded(file, kMaxDocumentSize);
}

struct XmlDocument {
  explicit XmlDocument(const std::string& text) {
    helpers::holdXmlParser();
    // No network, no external entities, no messages on standard error.
    doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  }
  ~XmlDocument() {
    if (doc) xmlFreeDoc(doc);
  }
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;
  xmlNodePtr root() const { return doc ? xmlDocGetRootElement(doc) : nullptr; }
  xmlDocPtr doc = nullptr;
};

bool named(xmlNodePtr node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

std::string attribute(xmlNodePtr node, const char* name) {
  xmlChar* value = xmlGetProp(node, BAD_CAST name);
  std::string text = value ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

std::string content(xmlNodePtr node) {
  xmlChar* value = xmlNodeGetContent(node);
  std::string text = value ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

void collectPkgRefs(xmlNodePtr node, std::vector<xmlNodePtr>& refs) {
  for (xmlNodePtr child = node->children; child; child = child->next) {
    if (named(child, "pkg-ref")) refs.push_back(child);
    collectPkgRefs(child, refs);
  }
}

std::string trimmed(const std::string& s) {
  const char* blanks = " \t\n\r";
  auto b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

std::optional<std::string> percentDecoded(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      return std::nullopt;
    }
    out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

bool isPlainComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

fs::path normalisedLocation(std::string location) {
  if (location.empty() || location[0] != '/') location = "/" + location;
  std::string normal = fs::path(location).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

std::optional<fs::path> payloadOf(const fs::path& component) {
  // Payload.gz wins even beside a Payload.
  for (const char* name : {"Payload.gz", "Payload"}) {
    if (isRegularFile(component / name)) return component / name;
  }
  return std::nullopt;
}

// The command that decompresses a payload, by its first bytes; "" for a
// payload stored plain.
std::string decompressorFor(const fs::path& payload) {
  std::ifstream in(payload, std::ios::binary);
  unsigned char magic[6] = {};
  in.read(reinterpret_cast<char*>(magic), sizeof magic);
  auto got = in.gcount();
  if (got >= 2 && magic[0] == 0x1f && magic[1] == 0x8b) return "gunzip -c";
  if (got >= 3 && magic[0] == 'B' && magic[1] == 'Z' && magic[2] == 'h') return "bzip2 -dc";
  if (got == 6 && magic[0] == 0xfd && std::equal(magic + 1, magic + 6, "7zXZ\0")) return "xz -dc";
  return "";
}

bool contains(const std::string& s, const char* needle) { return s.find(needle) != std::string::npos; }

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

UnarchiveError extractFailed(const std::string& detail) {
  return UnarchiveError(UnarchiveError::Case::extractFailed, detail);
}

void unpackPayload(const fs::path& payload, const fs::path& payloadDir, const PackageTools& tools) {
  // cpio follows "../" and absolute names, and writes through symbolic links
  // it has just made; a payload must stay inside its directory, and fit.
  if (!payloadIsUnpackable(payload, payloadDir)) throw extractFailed("Failed to extract Payload");
  // Only GNU cpio knows (and needs) this option; BSD cpio refuses it and
  // is safe by default. The check above protects with either.
  std::string cpio = cpioIsGNU(tools.shell) ? "cpio -idm --no-absolute-filenames" : "cpio -idm";
  std::string decompress = decompressorFor(payload);
  std::string command = "cd " + shellQuote(payloadDir.string()) + " && " +
                        (decompress.empty() ? cpio + " < " + shellQuote(payload.string())
                                            : decompress + " " + shellQuote(payload.string()) + " | " + cpio);
  ToolResult unpack = runTool(tools.shell, {"-c", command});
  if (unpack.status != 0) throw extractFailed("Failed to extract Payload");
}

// An install location inside a bundle ("/Applications/Name.app" or below
// it, as older packaging tools made them): the payload fills that bundle.
// `parent` is where the bundle itself lands; `inside` is where the payload
// goes, relative to the bundle's parent ("Name.app/Contents").
struct BundleSite {
  fs::path parent;
  fs::path inside;
};

std::optional<BundleSite> bundleSiteOf(const fs::path& installLocation) {
  BundleSite site{"/", {}};
  bool inBundle = false;
  for (const auto& part : installLocation.relative_path()) {
    if (!inBundle) {
      std::string ext = part.extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
      inBundle = ext == ".app";
    }
    if (inBundle) {
      site.inside /= part;
    } else {
      site.parent /= part;
    }
  }
  if (!inBundle) return std::nullopt;
  return site;
}

struct ArchiveReader {
  archive* a = archive_read_new();
  ~ArchiveReader() { archive_read_free(a); }
};

}  // namespace

std::optional<fs::path> parseInstallLocation(const std::string& packageInfo) {
  XmlDocument document(packageInfo);
  xmlNodePtr root = document.root();
  if (!root || !named(root, "pkg-info")) return std::nullopt;
  return normalisedLocation(attribute(root, "install-location"));
}

std::vector<std::string> parseDistributionComponents(const std::string& distribution) {
  XmlDocument document(distribution);
  xmlNodePtr root = document.root();
  if (!root) return {};
  std::vector<xmlNodePtr> refs;
  collectPkgRefs(root, refs);
  std::vector<std::string> order;  // ids, as first named
  std::map<std::string, std::string> files;
  for (xmlNodePtr ref : refs) {
    std::string id = attribute(ref, "id");
    if (std::find(order.begin(), order.end(), id) == order.end()) order.push_back(id);
    std::string text = trimmed(content(ref));
    if (text.size() < 2 || text[0] != '#' || files.count(id)) continue;
    auto name = percentDecoded(text.substr(1));
    if (name && isPlainComponent(*name)) files[id] = *name;
  }
  std::vector<std::string> names;
  for (const auto& id : order) {
    auto it = files.find(id);
    if (it != files.end() && std::find(names.begin(), names.end(), it->second) == names.end()) {
      names.push_back(it->second);
    }
  }
  return names;
}

namespace {

// packageComponents, with `holdsPayload` telling whether a directory has a
// payload to unpack.
std::vector<PackageComponent> componentsOf(const fs::path& expanded,
                                           const std::function<bool(const fs::path&)>& holdsPayload) {
  std::vector<fs::path> directories;
  if (auto text = readDocument(expanded / "Distribution")) {
    for (const auto& name : parseDistributionComponents(*text)) {
      if (isRealDirectory(expanded / name)) directories.push_back(expanded / name);
    }
  }
  if (directories.empty()) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(expanded, ec)) {
      std::string ext = entry.path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
      if (ext == ".pkg" && isRealDirectory(entry.path())) directories.push_back(entry.path());
    }
    std::sort(directories.begin(), directories.end());
  }
  if (directories.empty() && (holdsPayload(expanded) || isRegularFile(expanded / "PackageInfo"))) {
    directories.push_back(expanded);
  }
  std::vector<PackageComponent> components;
  for (const auto& directory : directories) {
    PackageComponent component{directory};
    if (auto text = readDocument(directory / "PackageInfo")) {
      if (auto location = parseInstallLocation(*text)) component.installLocation = *location;
    }
    components.push_back(component);
  }
  return components;
}

}  // namespace

std::vector<PackageComponent> packageComponents(const fs::path& expanded) {
  return componentsOf(expanded, [](const fs::path& directory) { return payloadOf(directory).has_value(); });
}

std::vector<SearchPlace> payloadSearchPlaces(const fs::path& payloadDirectory, const fs::path& installLocation) {
  std::vector<SearchPlace> places;
  auto add = [&](SearchPlace place) {
    if (std::find(places.begin(), places.end(), place) == places.end()) places.push_back(place);
  };
  auto inside = [](const fs::path& relative) { return !relative.empty() && *relative.begin() != ".."; };
  for (const char* place : {"/Applications", "/usr/local/Applications", "/Library/Application Support"}) {
    fs::path target(place);
    if (fs::path below = target.lexically_relative(installLocation); inside(below)) {
      add({below == "." ? payloadDirectory : payloadDirectory / below, 0});
    } else if (fs::path above = installLocation.lexically_relative(target); inside(above)) {
      // The payload lands inside the place: its root is already that deep.
      int depth = static_cast<int>(std::distance(above.begin(), above.end()));
      if (depth <= 2) add({payloadDirectory, depth});
    }
  }
  add({payloadDirectory, 0});
  return places;
}

UnarchivedPayload unpackInstallerPackage(const fs::path& package, const fs::path& workingDirectory,
                                         const PackageTools& tools) {
  ScratchDirectories scratch(workingDirectory);
  fs::path expanded = scratch.make("pkg-");
  ToolResult expand = runTool(tools.pkgutil, {"--expand", package.string(), expanded.string()});
  if (expand.status != 0) throw extractFailed("Failed to expand PKG file: " + expand.output);
  auto components = packageComponents(expanded);
  if (components.empty()) throw extractFailed("Failed to find Payload in expanded PKG");

  for (const auto& component : components) {
    auto payload = payloadOf(component.directory);
    if (!payload) continue;  // a scripts-only component installs no bundle
    fs::path payloadDir = scratch.make("payload-");
    fs::path location = component.installLocation;
    auto site = bundleSiteOf(location);
    if (site) {
      std::error_code ec;
      fs::create_directories(payloadDir / site->inside, ec);
      if (ec) throw extractFailed("Failed to extract Payload");
      location = site->parent;
    }
    unpackPayload(*payload, site ? payloadDir / site->inside : payloadDir, tools);
    // A bundle this payload only partly fills (its resources, say) is not
    // an application.
    fs::path formed = site ? payloadDir / *site->inside.begin() : fs::path();
    if (site && !isRegularFile(formed / "Contents/Info.plist")) {
      scratch.discard(payloadDir);
      continue;
    }
    for (const auto& place : payloadSearchPlaces(payloadDir, location)) {
      std::vector<fs::path> found;
      findApplicationsBelow(payloadDir, place.directory, place.depth, found);
      if (found.empty()) continue;
      scratch.keep();
      return {found.front(), [expanded, payloadDir] {
                removeQuietly(expanded);
                removeQuietly(payloadDir);
              }};
    }
    scratch.discard(payloadDir);
  }
  throw UnarchiveError(UnarchiveError::Case::noApplicationFound, "No application found in extracted Payload");
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

std::optional<fs::path> bundleOfStreamedPackage(const fs::path& staging, bool flatPackage) {
  std::vector<fs::path> found;
  if (!flatPackage) {
    findApplications(staging, 0, found);
    if (found.empty()) return std::nullopt;
    return found.front();
  }
  const fs::path expanded = staging / "expanded";
  const fs::path payloads = staging / "payloads";
  auto payloadDirectoryOf = [&](const fs::path& component) {
    fs::path relative = component.lexically_relative(expanded);
    return relative.empty() || relative == "." ? payloads : payloads / relative;
  };
  // A component that held nothing but its payload has no folder of its
  // own among the expanded documents.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(payloads, ec)) {
    if (entry.path().extension() == ".pkg" && isRealDirectory(entry.path())) {
      fs::create_directory(expanded / entry.path().filename(), ec);
    }
  }
  int formedCount = 0;
  auto components = componentsOf(expanded, [&](const fs::path& directory) {
    return isRealDirectory(payloadDirectoryOf(directory));
  });
  for (const auto& component : components) {
    fs::path payloadDir = payloadDirectoryOf(component.directory);
    if (!isRealDirectory(payloadDir)) continue;
    fs::path location = component.installLocation;
    if (auto site = bundleSiteOf(location)) {
      fs::path formed = staging / ("formed-" + std::to_string(formedCount++));
      fs::create_directories((formed / site->inside).parent_path(), ec);
      if (!ec) fs::rename(payloadDir, formed / site->inside, ec);
      if (ec || !isRegularFile(formed / *site->inside.begin() / "Contents/Info.plist")) continue;
      payloadDir = formed;
      location = site->parent;
    }
    for (const auto& place : payloadSearchPlaces(payloadDir, location)) {
      findApplicationsBelow(payloadDir, place.directory, place.depth, found);
      if (!found.empty()) return found.front();
    }
  }
  return std::nullopt;
}

}  // namespace installer
