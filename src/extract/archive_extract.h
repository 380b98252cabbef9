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

#include <archive.h>
#include <archive_entry.h>

#include <filesystem>
#include <functional>
#include <optional>
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

// Takes over an entry (a regular file) before it is written: returns
// nothing to let it be written as usual, or whether the entry was handled
// (false with a message in `*error` fails the extraction). `name` is the
// entry's checked relative name.
using EntryDivert =
    std::function<std::optional<bool>(archive_entry* entry, const std::string& name, std::string* error)>;

// Extracts what `reader` (an open libarchive reader) yields into the
// existing directory `destination`, under the rules above, without
// changing the working directory: any thread, one reader per thread.
// `destination` must be absolute with no symbolic link on its way (as
// std::filesystem::canonical gives it). `divert`, when set, sees every
// regular file, directory and link entry first. A failure removes what
// this call created.
bool extractEntries(archive* reader, const std::filesystem::path& destination, std::string* error,
                    EntryDivert divert = {});

// True when `name` (an entry's path) is relative and has no ".." component.
bool isContainedName(const std::string& name);

// Removes `path` and everything below it without following symbolic links,
// making read-only directories writable first. Ignores errors.
void removeTree(const std::filesystem::path& path);

}  // namespace installer::helpers
