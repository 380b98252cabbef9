#include "publish/bundle_packer.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <stdexcept>

#include "platform/bundle.h"
#include "publish/package_makers.h"

namespace installer::publish {

namespace fs = std::filesystem;

std::optional<PackageFormat> packageFormatNamed(const std::string& name) {
  if (name == "zip") return PackageFormat::zip;
  if (name == "pkg") return PackageFormat::pkg;
  if (name == "dmg") return PackageFormat::dmg;
  return std::nullopt;
}

namespace {

// The bundle folder itself followed by everything in it, named below `prefix`.
std::vector<ArchiveEntry> bundleEntries(const fs::path& bundle, const std::string& prefix) {
  struct stat st;
  if (::stat(bundle.c_str(), &st) != 0) throw std::runtime_error("cannot read " + bundle.string());
  const std::string name = bundle.filename().string();
  ArchiveEntry top(prefix + name, ArchiveEntry::Kind::directory, "", "", st.st_mode & 07777);
  top.mtime = st.st_mtime;
  std::vector<ArchiveEntry> entries = {top};
  for (auto& e : entriesFromTree(bundle, prefix + name + "/")) entries.push_back(std::move(e));
  return entries;
}

// The "user." extended attributes of `file` (names without the prefix),
// read without following a link.
std::vector<std::pair<std::string, std::string>> userAttributes(const fs::path& file) {
  std::vector<std::pair<std::string, std::string>> attributes;
  ssize_t size = ::llistxattr(file.c_str(), nullptr, 0);
  if (size <= 0) return attributes;
  std::string names(static_cast<std::size_t>(size), '\0');
  size = ::llistxattr(file.c_str(), names.data(), names.size());
  if (size <= 0) return attributes;
  names.resize(static_cast<std::size_t>(size));
  for (std::size_t at = 0; at < names.size();) {
    std::string name = names.c_str() + at;
    at += name.size() + 1;
    if (name.rfind("user.", 0) != 0) continue;
    ssize_t length = ::lgetxattr(file.c_str(), name.c_str(), nullptr, 0);
    if (length < 0) continue;
    std::string value(static_cast<std::size_t>(length), '\0');
    length = ::lgetxattr(file.c_str(), name.c_str(), value.data(), value.size());
    if (length < 0) continue;
    value.resize(static_cast<std::size_t>(length));
    attributes.emplace_back(name.substr(5), value);
  }
  return attributes;
}

// ZIP holds extended attributes the way ditto stores them: an AppleDouble
// file "__MACOSX/<folder>/._<name>" per item that has any, which the
// installer (like ditto on expansion) folds back into the item.
std::vector<ArchiveEntry> sequesteredAttributes(const fs::path& bundle) {
  std::vector<ArchiveEntry> entries;
  std::vector<fs::path> items = {bundle};
  for (auto it = fs::recursive_directory_iterator(bundle); it != fs::recursive_directory_iterator(); ++it) {
    items.push_back(it->path());
  }
  for (const auto& item : items) {
    if (fs::is_symlink(item)) continue;
    auto attributes = userAttributes(item);
    if (attributes.empty()) continue;
    std::string finderInfo, resourceFork;
    std::vector<std::pair<std::string, std::string>> rest;
    for (auto& [name, value] : attributes) {
      if (name == "com.apple.FinderInfo") {
        finderInfo = value;
      } else if (name == "com.apple.ResourceFork") {
        resourceFork = value;
      } else {
        rest.emplace_back(name, value);
      }
    }
    fs::path relative = item.lexically_relative(bundle.parent_path());
    std::string folder = relative.parent_path().string();
    entries.emplace_back("__MACOSX/" + (folder.empty() ? "" : folder + "/") + "._" + relative.filename().string(),
                         ArchiveEntry::Kind::file, appleDouble(finderInfo, resourceFork, rest), "", 0644);
  }
  return entries;
}

}  // namespace

void packBundle(const fs::path& given, PackageFormat format, const fs::path& out) {
  fs::path folder = fs::absolute(given).lexically_normal();
  if (folder.filename().empty()) folder = folder.parent_path();
  std::error_code ec;
  if (folder.extension() != ".app" || !fs::is_regular_file(folder / "Contents" / "Info.plist", ec)) {
    throw std::runtime_error(given.string() + " is not an application bundle (NAME.app/Contents/Info.plist)");
  }
  auto opened = platform::Bundle::open(folder);
  fs::remove(out, ec);
  switch (format) {
    case PackageFormat::zip: {
      auto entries = bundleEntries(folder, "");
      for (auto& e : sequesteredAttributes(folder)) entries.push_back(std::move(e));
      writeArchive(out, ArchiveFormat::zip, entries);
      break;
    }
    case PackageFormat::pkg: {
      std::string identifier = opened && !opened->identifier().empty() ? opened->identifier() : "com.example.app";
      std::string version = opened && !opened->shortVersion().empty() ? opened->shortVersion() : "1.0";
      ArchiveEntry root(".", ArchiveEntry::Kind::directory, "", "", 0775);
      std::vector<ArchiveEntry> payload = {root};
      for (auto& e : bundleEntries(folder, "./")) payload.push_back(std::move(e));
      makeComponentPackage(out, payload, identifier, version, "/Applications");
      break;
    }
    case PackageFormat::dmg:
      makeApplicationDiskImage(folder, folder.stem().string(), out);
      break;
  }
}

}  // namespace installer::publish
