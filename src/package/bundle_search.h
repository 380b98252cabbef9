// The searches an unpacked package goes through: application bundles (the
// bounded walk of `findApplications` in unarchiver.h) and flat installer
// packages shipped inside an image or ZIP. Neither ever hands over, or
// walks through, a symbolic link. Never fail; any thread.
#pragma once

#include <filesystem>
#include <vector>

namespace installer {

// True when `bundle` is a real directory (lstat) holding a real
// "Contents" directory, as a ".app" must to count as a bundle.
bool looksLikeBundle(const std::filesystem::path& bundle);

// `findApplications` on `start` from `depth`, provided that `start` and
// every directory between `root` and it are real directories (lstat), not
// symbolic links; `start` must lie inside `root`. Appends nothing
// otherwise.
void findApplicationsBelow(const std::filesystem::path& root, const std::filesystem::path& start,
                           int depth, std::vector<std::filesystem::path>& results);

// Regular files named "*.pkg" (any case) below `directory`, with the walk
// and depth rule of `findApplications`: hidden entries and symbolic links
// are skipped, no deeper than depth 2.
void findFlatPackages(const std::filesystem::path& directory, int depth,
                      std::vector<std::filesystem::path>& results);

}  // namespace installer
