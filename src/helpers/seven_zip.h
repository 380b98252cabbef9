// Running 7-Zip (`7z`) for the hdiutil stand-in, and reading its technical
// listing (`7z l -slt`). Any thread; nothing here keeps state between
// calls. A missing or failing 7-Zip shows as a failed `SevenZipRun` or a
// false return, never as an exception.
#pragma once

#include <sys/types.h>
#include <time.h>

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
  std::optional<mode_t> permissions;  // the listed permission bits (07777)
  std::optional<timespec> modified;   // listed in UTC: the process runs with TZ=UTC
};

struct SevenZipListing {
  std::string type;  // the innermost archive type 7-Zip opened
  std::vector<SevenZipItem> items;
};

// Lists `archive` with `tool`. False when 7-Zip cannot open it, with
// 7-Zip's output in `*error`.
bool listWithSevenZip(const char* tool, const std::string& archive, SevenZipListing* listing,
                      std::string* error);

// A running `7z e -so ...`: every selected item's data, in listing order,
// on one pipe. The caller reads it in pieces, then finishes or abandons
// the run. One thread at a time; the destructor kills a run still going.
class SevenZipStream {
 public:
  // Starts `args` (args[0] is the executable) with standard output on the
  // pipe and standard error discarded. `started()` tells whether it runs.
  explicit SevenZipStream(const std::vector<std::string>& args);
  ~SevenZipStream();
  SevenZipStream(const SevenZipStream&) = delete;
  SevenZipStream& operator=(const SevenZipStream&) = delete;

  bool started() const { return pid_ > 0; }
  // Reads up to `length` bytes; 0 at the end of the data or on an error.
  std::size_t read(char* into, std::size_t length);
  // Moves up to `length` bytes into the file `fd` without copying them
  // through this process (splice); 0 at the end of the data, -1 when the
  // file takes no splice or on an error (then read() is the way).
  long moveTo(int fd, std::size_t length);
  // Waits for the end of the data and the process; true when the stream
  // held no more data and 7-Zip succeeded.
  bool finish();
  // Kills the run and reaps it.
  void abandon();

 private:
  int fd_ = -1;
  pid_t pid_ = -1;
};

}  // namespace installer::helpers
