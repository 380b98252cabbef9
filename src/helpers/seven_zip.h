// Running 7-Zip (`7z`) for the hdiutil stand-in, and reading its technical
// listing (`7z l -slt`). Any thread; nothing here keeps state between
// calls. A missing or failing 7-Zip shows as a failed `SevenZipRun` or a
// false return, never as an exception.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace installer::helpers {

// The 7-Zip executable found in the usual places, or nullptr.
const char* sevenZipTool();

struct SevenZipRun {
  int status = -1;  // exit status; -1 when it could not be started
  std::string output;
  bool stopped = false;  // killed because `keepGoing` said so
};

struct SevenZipRunOptions {
  bool withErrors = true;          // standard error joins the output
  std::function<bool()> keepGoing;  // polled while the tool runs
};

// Runs `args` (args[0] is the executable) with standard input from
// /dev/null and collects its output.
SevenZipRun runSevenZip(const std::vector<std::string>& args, const SevenZipRunOptions& options = {});

struct SevenZipItem {
  std::string path;
  bool folder = false;
  bool link = false;
  std::uint64_t size = 0;
  // The link's target as 7-Zip lists it ("Symbolic Link = ..."), for the
  // formats that list targets (APFS, ISO 9660 with Rock Ridge).
  std::optional<std::string> linkTarget;
};

struct SevenZipListing {
  std::string type;  // the innermost archive type 7-Zip opened
  std::vector<SevenZipItem> items;
};

// Lists `archive` with `tool`. False when 7-Zip cannot open it, with
// 7-Zip's output in `*error`.
bool listWithSevenZip(const char* tool, const std::string& archive, SevenZipListing* listing,
                      std::string* error);

}  // namespace installer::helpers
