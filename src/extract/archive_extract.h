// Extraction of an archive into a directory for the tool stand-ins, with
// libarchive. Nothing may land outside the destination: entries with
// absolute names or ".." components, hard links naming such paths or
// passing through a symbolic link, and writes through symbolic links (to an
// earlier entry or anything already in the destination) are refused, and a
// refused entry fails the whole extraction. Symbolic links themselves are
// kept verbatim, whatever they point at (they are never followed);
// permission bits and modification times are kept.
//
// The extraction stops when it would leave less than the reserve of
// space_reserve.h free on the destination's volume. A failed extraction
// removes everything it wrote, so the destination is left as it was.
//
// Single-threaded tools only: it changes the working directory of the
// process while it runs. Names are converted by the current locale: call
// `useUTF8FileNames` first, or libarchive cannot store non-ASCII names.
#pragma once

#include <filesystem>
#include <string>

namespace installer::helpers {

enum class ArchiveKind { zip, xar };

// Switches the process to a UTF-8 locale (C.UTF-8, else the environment's
// when that is UTF-8) so archive names marked as UTF-8 come out unchanged.
// False when no UTF-8 locale is available.
bool useUTF8FileNames();

// Extracts `archive` into the existing directory `destination`. Returns
// true on success; otherwise false with a message in `*error`.
bool extractArchive(const std::filesystem::path& archive, ArchiveKind kind,
                    const std::filesystem::path& destination, std::string* error);

// True when `name` (an entry's path) is relative and has no ".." component.
bool isContainedName(const std::string& name);

// Removes `path` and everything below it without following symbolic links,
// making read-only directories writable first. Ignores errors.
void removeTree(const std::filesystem::path& path);

}  // namespace installer::helpers
