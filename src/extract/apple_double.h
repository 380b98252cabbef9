// AppleDouble files ("._name", as macOS keeps a file's metadata beside it
// on volumes and in archives that cannot hold it) and the "__MACOSX" tree
// in which Finder's and ditto's ZIP archives sequester them.
//
// Plain functions over bytes and paths; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace installer::helpers {

// The extended attributes an AppleDouble file carries, as (name, value):
// "com.apple.FinderInfo" (when not all zero), "com.apple.ResourceFork"
// (when not empty) and each entry of the attribute list stored after the
// Finder information. nullopt when `bytes` is not an AppleDouble file or
// an entry lies outside it.
std::optional<std::vector<std::pair<std::string, std::string>>> parseAppleDouble(std::string_view bytes);

// Folds `destination`/__MACOSX into the files it describes, as ditto does
// on expansion: the attributes of "__MACOSX/dir/._name" go to "dir/name"
// as "user." extended attributes where the file system takes them, and
// are dropped otherwise (or when "dir/name" is missing or reached through
// a symbolic link). The __MACOSX tree is then removed. Ignores errors.
void foldSequesteredMetadata(const std::filesystem::path& destination);

}  // namespace installer::helpers
