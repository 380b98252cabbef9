// Extraction of an archive into a directory for the tool stand-ins, with
// libarchive. Nothing may land outside the destination: entries with
// absolute names or ".." components, hard links naming such paths, and
// writes through symbolic links (to an earlier entry or anything already in
// the destination) are refused, and a refused entry fails the whole
// extraction. Symbolic links themselves, permission bits and modification
// times are kept. Single-threaded tools only: it changes the working
// directory of the process while it runs.
#pragma once

#include <filesystem>
#include <string>

namespace installer::helpers {

enum class ArchiveKind { zip, xar };

// Extracts `archive` into the existing directory `destination`. Returns
// true on success; otherwise false with a message in `*error`.
bool extractArchive(const std::filesystem::path& archive, ArchiveKind kind,
                    const std::filesystem::path& destination, std::string* error);

// True when `name` (an entry's path) is relative and has no ".." component.
bool isContainedName(const std::string& name);

}  // namespace installer::helpers
