// The desktop entry that lets the desktop find an installed product again:
// an `<CFBundleIdentifier>.desktop` file in the freedesktop.org desktop entry
// format and the bundle's icon in the hicolor theme, laid out the way they
// sit under an XDG data directory:
//
//   <dataDir>/applications/<id>.desktop
//   <dataDir>/icons/hicolor/<N>x<N>/apps/<id>.png
//
// A per-user install writes straight into $XDG_DATA_HOME. For an install
// into a system directory the administrator step composes the entry from
// its own copy of the bundle and writes it itself (see install_helper.h).
//
// Every file of the bundle is read without following links and bounded by
// the bytes actually read. Pure file work on the caller's thread; no GTK.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace installer {

struct DesktopEntryFiles {
  std::string identifier;                         // CFBundleIdentifier
  std::filesystem::path entry;                    // the written .desktop file
  std::vector<std::filesystem::path> icons;       // the written icon files
};

// An entry as composed, before anything is written.
struct DesktopEntryContent {
  std::string identifier;          // CFBundleIdentifier, usable as a file name
  std::string text;                // the .desktop file
  std::map<int, std::string> icons;  // PNG bytes by theme size
};

// Composes the entry of the bundle open at `bundleFd` that is (or will be)
// installed at `installedBundle`, which the Exec and TryExec lines name.
// With `scaleIcons`, the largest icon is also scaled to the biggest theme
// size it covers (decoding the image); without, only the bundle's own PNGs
// at theme sizes are taken. `extraLines` ends the entry. Absent when the
// bundle has no usable identifier or executable.
std::optional<DesktopEntryContent> composeDesktopEntry(int bundleFd,
                                                       const std::filesystem::path& installedBundle,
                                                       bool scaleIcons,
                                                       const std::string& extraLines = "");

// The icon sizes of the hicolor theme's applications folders.
const std::vector<int>& desktopIconSizes();

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
