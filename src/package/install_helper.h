// The administrator step of an install into a folder the user cannot
// write: the body of the `install-helper` program that the elevation tool
// (pkexec) runs as root, in place of any shell.
//
//   install-helper install SOURCE DESTINATION DATA_DIR BYTES ENTRIES MILLISECONDS [OTHER_DATA_DIR...]
//
// Every argument is checked (absolute normalised paths without control
// characters, DESTINATION a "*.app" below a folder, decimal numbers).
// DATA_DIR is "-" for no desktop entry.
//
// What it does, in order:
//  - says "started" on its standard output (the status pipe), which tells
//    the runner the user has authorised it;
//  - opens every folder from "/" to DESTINATION's parent (creating missing
//    ones 0755) without following links, and refuses one that is not
//    owned by root (or by the helper's own user), is writable by its group
//    or by others (a root-owned sticky folder above the parent excepted),
//    or carries an ACL entry granting write;
//  - makes a private staging folder beside DESTINATION and fills it with a
//    copy of SOURCE that a child, dropped to the invoking user (PKEXEC_UID),
//    reads without following any link and streams over a pipe: only
//    folders, regular files and symbolic links (kept verbatim), owned by the
//    helper, modes masked (no setuid, setgid or sticky bits, no group or
//    other write, owner write, everyone read, search where anyone had
//    execute), at most BYTES and ENTRIES plus a margin;
//  - checks the copy is a bundle (a real Contents/Info.plist naming a
//    CFBundleExecutable);
//  - swaps it in with one atomic rename (an exchange when a copy is in
//    place, then removes the old one);
//  - writes the system desktop entry itself from its own copy:
//    DATA_DIR/applications/<CFBundleIdentifier>.desktop and
//    DATA_DIR/icons/hicolor/<N>x<N>/apps/<CFBundleIdentifier>.png, all
//    folders on the way checked like the destination's, refused when an
//    entry of that name exists in DATA_DIR or any other data folder and
//    was not written for this DESTINATION.
//
// It ends itself MILLISECONDS after it started, and as soon as the runner
// closes the status pipe, leaving any copy in place as it was and no
// staging folder behind. Lines on the status pipe: the start marker,
// messages, then the status line with the exit status below.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace installer {

// Exit statuses of the helper.
enum InstallHelperStatus : int {
  kHelperInstalled = 0,
  kHelperSourceRefused = 2,   // unreadable as the user, or holds what a bundle must not
  kHelperUnsafeWayIn = 3,     // a folder on the way someone else may change
  kHelperCopyFailed = 4,      // the staging copy could not be made
  kHelperNotABundle = 5,
  kHelperSwapFailed = 7,
  kHelperTooLarge = 8,        // more bytes or entries than the run unpacked
  kHelperTimedOut = 9,
  kHelperRunnerGone = 10,
  kHelperBadArguments = 64,
};

struct InstallHelperRequest {
  std::filesystem::path source;
  std::filesystem::path destination;
  std::filesystem::path dataDirectory;  // empty: no desktop entry
  std::uint64_t bytes = 0;              // what the run unpacked
  std::uint64_t entries = 0;
  std::int64_t milliseconds = 0;        // the helper's own time limit
  std::vector<std::filesystem::path> otherDataDirectories;  // checked besides the standard ones
};

// The argument vector after the program name, and back. Absent (with
// `why`) for anything the helper does not take.
std::vector<std::string> installHelperArguments(const InstallHelperRequest& request);
std::optional<InstallHelperRequest> parseInstallHelperArguments(const std::vector<std::string>& arguments,
                                                                std::string& why);

// Runs the helper with `arguments` (argv without the program name),
// writing status lines to `statusFd`; returns the exit status. Reads
// PKEXEC_UID. Single-threaded: it forks.
int runInstallHelper(const std::vector<std::string>& arguments, int statusFd);

// The data folders whose entries an identifier must not collide with.
const std::vector<std::filesystem::path>& standardDataDirectories();

}  // namespace installer
