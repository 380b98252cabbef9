// `installer-publish pack`: an application bundle, unchanged, as a package
// the installer (and the standard readers, bsdtar and 7-Zip) can open:
//
//   zip  the bundle folder at the archive's top, as `ditto -c -k --keepParent`
//        makes it (deflate, UTF-8 names), "user." extended attributes kept
//        as AppleDouble files under "__MACOSX/" (`--sequesterRsrc`);
//   pkg  a flat component package (PackageInfo, Bom, gzip'd cpio Payload)
//        installing the bundle into /Applications;
//   dmg  a zlib-compressed UDIF image of an HFS+ volume named after the
//        bundle, holding the bundle and an "Applications" link.
//
// Modes (executable bits included), symbolic links, names and modification
// times are kept as on disk; owners become root. Blocking; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace installer::publish {

enum class PackageFormat { zip, pkg, dmg };

// "zip", "pkg" or "dmg"; absent for anything else.
std::optional<PackageFormat> packageFormatNamed(const std::string& name);

// Writes the package of `bundle` (a "*.app" folder holding
// Contents/Info.plist) to `out`, replacing it. Throws std::runtime_error
// for a folder that is no bundle and when the package cannot be made.
void packBundle(const std::filesystem::path& bundle, PackageFormat format, const std::filesystem::path& out);

}  // namespace installer::publish
