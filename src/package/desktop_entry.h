// The desktop entry that lets the desktop find an installed product again:
// an `<CFBundleIdentifier>.desktop` file in the freedesktop.org desktop entry
// format and the bundle's icon in the hicolor theme, laid out the way they
// sit under an XDG data directory:
//
//   <dataDir>/applications/<id>.desktop
//   <dataDir>/icons/hicolor/<N>x<N>/apps/<id>.png
//
// A per-user install writes straight into $XDG_DATA_HOME. An install into a
// system directory writes into a private staging directory as the user; the
// privileged script then installs the staged regular files into
// /usr/local/share with fixed modes.
//
// Pure file work on the caller's thread; no GTK.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace installer {

struct DesktopEntryFiles {
  std::string identifier;                         // CFBundleIdentifier
  std::filesystem::path entry;                    // the written .desktop file
  std::vector<std::filesystem::path> icons;       // the written icon files
};

// Writes the entry and icons for the bundle installed at `installedBundle`
// into `dataDir` (created as needed; files 0644). The entry's Exec and
// TryExec name the executable as it will be found after installation, so
// `installedBundle` is the bundle's final path even when `dataDir` is a
// staging directory. Returns nullopt, writing nothing, when the bundle has no
// usable identifier or executable. Throws std::filesystem::filesystem_error
// when a file cannot be written.
std::optional<DesktopEntryFiles> writeDesktopEntry(const std::filesystem::path& installedBundle,
                                                   const std::filesystem::path& dataDir);

// $XDG_DATA_HOME, or ~/.local/share.
std::filesystem::path userDataDir();

// Runs `update-desktop-database -q <dataDir>/applications` when the tool is
// on the PATH; ignores every failure.
void refreshDesktopDatabase(const std::filesystem::path& dataDir);

}  // namespace installer
