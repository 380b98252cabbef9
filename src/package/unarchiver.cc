#include "package/unarchiver.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <system_error>

#include "package/bundle_search.h"
#include "package/installer_package.h"
#include "package/scratch_directories.h"

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

// The one flat installer package an image or ZIP holds when it holds no
// bundle, unpacked as a package of its own; nullopt when there is not
// exactly one.
std::optional<UnarchivedPayload> unpackInnerPackage(const fs::path& root, const fs::path& workingDirectory,
                                                    const PackageTools& tools) {
  std::vector<fs::path> packages;
  findFlatPackages(root, 0, packages);
  if (packages.size() != 1) return std::nullopt;
  return unpackInstallerPackage(packages.front(), workingDirectory, tools);
}

UnarchivedPayload unpackDiskImage(const fs::path& archive, const fs::path& workingDirectory,
                                  const PackageTools& tools) {
  assessSignature(archive, tools);
  ScratchDirectories scratch(workingDirectory);
  fs::path mountPoint = scratch.make("mnt-");
  scratch.markMountPoint(mountPoint);
  ToolResult attach = runTool(tools.hdiutil, {"attach", archive.string(), "-nobrowse", "-noautoopen",
                                              "-noverify", "-mountpoint", mountPoint.string()});
  if (attach.status != 0) {
    throw UnarchiveError(UnarchiveError::Case::mountFailed,
                         "hdiutil failed with code: " + std::to_string(attach.status) +
                             " data: <<" + attach.output + ">>");
  }
  scratch.keep();
  std::vector<fs::path> found;
  findApplications(mountPoint, 0, found);
  if (!found.empty()) return {found.front(), [mountPoint, tools] { detachImage(mountPoint, tools); }};

  std::optional<UnarchivedPayload> inner;
  try {
    inner = unpackInnerPackage(mountPoint, workingDirectory, tools);
  } catch (...) {
    detachImage(mountPoint, tools);
    throw;
  }
  // The package's tree lives in the working directory: the image is done.
  detachImage(mountPoint, tools);
  if (inner) return *inner;
  throw UnarchiveError(UnarchiveError::Case::noApplicationFound,
                       "Couldn't enumerate contents of archive mounted at " + mountPoint.string());
}

UnarchivedPayload unpackZip(const fs::path& archive, const fs::path& workingDirectory,
                            const PackageTools& tools) {
  ScratchDirectories scratch(workingDirectory);
  fs::path dir = scratch.make("unzip-");
  ToolResult ditto = runTool(tools.ditto, {"-V", "-x", "-k", "--sequesterRsrc", "--rsrc",
                                           archive.string(), dir.string()});
  if (ditto.status != 0) {
    throw UnarchiveError(UnarchiveError::Case::extractFailed,
                         "ditto failed with code: " + std::to_string(ditto.status));
  }
  std::vector<fs::path> found;
  findApplications(dir, 0, found);
  if (!found.empty()) {
    scratch.keep();
    return {found.front(), [dir] { removeQuietly(dir); }};
  }
  if (auto inner = unpackInnerPackage(dir, workingDirectory, tools)) return *inner;
  throw UnarchiveError(UnarchiveError::Case::noApplicationFound, dir.string());
}

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

void detachImage(const fs::path& mountPoint, const PackageTools& tools) {
  try {
    runTool(tools.hdiutil, {"detach", mountPoint.string(), "-force"});
  } catch (const std::exception&) {
  }
  removeQuietly(mountPoint);
}

}  // namespace installer
