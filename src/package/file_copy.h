// Copying and measuring directory trees on the local file system.
// Plain functions over paths; any thread; they block while they work.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace installer {

// Copies `source` (a directory, file or symbolic link) to `destination`,
// which must not exist yet: a full recursive copy that keeps symbolic links
// as links, permission bits and modification times (like `cp -a` without
// owners and extended attributes). Throws std::filesystem::filesystem_error
// naming the path that failed; whatever was written stays behind.
void copyTree(const std::filesystem::path& source, const std::filesystem::path& destination);

// Swaps `staged` into place at `destination`: when something is there, it is
// exchanged atomically with the staged copy where the file system allows it
// (else moved aside first and put back when the second rename fails) and
// the old copy removed afterwards (errors ignored). Throws
// std::filesystem::filesystem_error when the swap cannot be made; the old
// copy then stays where it was.
void replaceWithStaged(const std::filesystem::path& staged,
                       const std::filesystem::path& destination);

// The total size in bytes of the regular files below `path` (hidden ones
// included; symbolic links are not followed). 0 when nothing exists there
// or `path` is not a directory; absent when any part of the tree cannot be
// read.
std::optional<std::int64_t> treeSize(const std::filesystem::path& path);

}  // namespace installer
