// Writes a volume's folders and files from 7-Zip's data stream
// (`7z e -so`, every item's data in listing order), for the hdiutil
// stand-in: one 7-Zip run does the extraction while the listing is read
// beside it, and this process alone creates what lands on disk.
//
// The caller has checked the listing first (every name contained, nothing
// below a link). Files are created new (never opened through an existing
// name or link) with the listed permission bits, set-user-ID and
// set-group-ID left out, and modification times; folders likewise, always
// open to their owner; links are not made here
// but returned with their targets, since nothing may be written after a
// link exists. Single thread; blocks until the stream ends.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "extract/space_reserve.h"
#include "helpers/seven_zip.h"

namespace installer::helpers {

enum class StreamWrite {
  written,
  mismatch,  // the data did not match the listed sizes, or 7-Zip failed: extract otherwise
  failed,    // `*error` says why (no space, a name that cannot be created)
};

// Writes `volume`'s items under the existing directory `out` and fills
// `*links` with (path, target) pairs: the listed target, else the link's
// data. The budget is watched while writing.
StreamWrite writeVolumeFromStream(SevenZipStream& stream, const SevenZipListing& volume,
                                  const std::filesystem::path& out, SpaceBudget& budget,
                                  std::vector<std::pair<std::string, std::string>>* links, std::string* error);

}  // namespace installer::helpers
