// Flat installer packages: what `pkgutil --expand` leaves (a component
// package with PackageInfo, Bom and Payload; or a product archive with a
// Distribution and component packages "name.pkg/"), read and unpacked until
// one component's payload yields an application bundle.
//
// Everything runs on the caller's thread and blocks it while the expand
// tool and the unpack shell run. No state is kept between calls.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "package/tool_runner.h"
#include "package/unarchiver.h"

namespace installer {

// One component of an expanded package: its directory (holding PackageInfo
// and Payload or Payload.gz, either of which may be missing) and where
// macOS would install its payload.
struct PackageComponent {
  std::filesystem::path directory;
  // PackageInfo's "install-location", absolute and normalised; "/" when
  // there is no PackageInfo or it names none.
  std::filesystem::path installLocation = "/";
};

// "install-location" of a PackageInfo document; nullopt when the text is
// not a well-formed pkg-info document. Never loads external entities.
std::optional<std::filesystem::path> parseInstallLocation(const std::string& packageInfo);

// The component file names a Distribution document refers to ("#name.pkg"
// pkg-ref contents, percent-decoded), in the order its pkg-ref elements
// first name each id. Names that are not a single plain path component are
// left out. Empty for a malformed document.
std::vector<std::string> parseDistributionComponents(const std::string& distribution);

// The components of the package expanded at `expanded`, in install order:
// the Distribution's component directories when it names any that exist
// as real directories (else every "*.pkg" directory, by name), or else
// the expanded directory itself when it holds a payload or a PackageInfo.
// Empty when there is none of these.
std::vector<PackageComponent> packageComponents(const std::filesystem::path& expanded);

// The directories of an unpacked payload where a bundle is looked for, in
// order, with the depth each search starts at: the places "Applications",
// "usr/local/Applications" and "Library/Application Support" of the target
// volume as seen through `installLocation`, then the payload's root.
struct SearchPlace {
  std::filesystem::path directory;
  int depth = 0;
  bool operator==(const SearchPlace&) const = default;
};
std::vector<SearchPlace> payloadSearchPlaces(const std::filesystem::path& payloadDirectory,
                                             const std::filesystem::path& installLocation);

// Expands `package` into "pkg-" + UUID inside `workingDirectory` and unpacks
// its components' payloads, each into its own "payload-" + UUID, until one
// yields a bundle. A component whose install location lies in a bundle
// ("/Applications/Name.app/Contents", "/Applications/Name.app") fills a
// "Name.app" of its own, which counts once it holds Contents/Info.plist.
// The payload that yields nothing is removed before the next is unpacked. Throws like `unarchivePackage`; after a failure nothing
// it made stays in `workingDirectory`. The clean-up removes the expanded
// package and the winning payload.
UnarchivedPayload unpackInstallerPackage(const std::filesystem::path& package,
                                         const std::filesystem::path& workingDirectory,
                                         const PackageTools& tools);

// The bundle of a package that the stream unpacker (extract/stream_unpacker.h)
// unpacked into `staging`: for a ZIP archive the first bundle
// `findApplications` finds there; for a flat installer package
// ("expanded/" and "payloads/") the one `unpackInstallerPackage` would
// install, by the same component order, install locations and search
// places (a component filling a bundle is moved into a "formed-" folder
// of `staging`). Absent when there is none. Never fails.
std::optional<std::filesystem::path> bundleOfStreamedPackage(const std::filesystem::path& staging,
                                                             bool flatPackage);

}  // namespace installer
