// A package unpacked while its bytes arrive: the producer (a download)
// hands the archive in order, in pieces of any size, and a thread of the
// unpacker's own reads it and writes the entries into a private staging
// folder as they come.
//
// A ZIP archive is read from its local headers, as below. A flat installer
// package (xar, its table of contents first) is expanded as
// `pkgutil --expand` would into "expanded/" of the staging folder, except
// that each "Payload" or "Payload.gz" (a cpio archive, plain or gzip,
// bzip2 or xz compressed) is unpacked as it streams, into "payloads/"
// followed by the folder it sits in ("payloads/" itself for a component
// package, "payloads/name.pkg/" for a product archive's component), under
// the rules of archive_extract.h; a payload that cannot be read fails the
// whole package.
//
// The staging folder is created by the constructor (mode 0700; it must not
// exist yet) and holds the unpacked tree once `finish` succeeds. Entries go
// in under the rules of archive_extract.h: no absolute names, no ".."
// components, nothing written through a symbolic link (links are made only
// once every file is in), links kept verbatim, permission bits masked to
// 0777, devices and pipes skipped, and the free-space reserve of
// space_reserve.h kept. Stored and deflated entries are read, with sizes
// from the header, from a data descriptor (flag bit 3, deflated entries
// only) or from the ZIP64 extra field.
//
// ZIP: a local header carries no mode: modes, file types (links, directories)
// and modification times come from the central directory at the end,
// which must agree with what the stream wrote: every central entry names a
// local header that was read, with the same name, method, sizes and CRC-32,
// a type that fits what was written (a directory's name ends in "/" and it
// has no data; a link's data is its target), and no local entry is left
// unlisted. "__MACOSX" AppleDouble files are then folded as ditto does.
//
// Any failure, a `cancel` or destroying an unpacker that has not finished
// removes the staging folder with everything in it.
//
// Threads: `feed` and `finish` belong to one producer thread; `cancel` may
// be called from any thread, at any time, any number of times. At most
// `kMaxQueued` bytes wait in the queue; `feed` blocks while it is full.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace installer::helpers {

enum class StreamFormat { zip, flatPackage };

class StreamUnpacker {
 public:
  static constexpr std::size_t kMaxQueued = std::size_t{4} << 20;

  // Creates `staging` (mode 0700) and starts the unpacking thread. Throws
  // std::system_error when the folder cannot be created (also when it
  // exists) or the thread cannot be started.
  explicit StreamUnpacker(std::filesystem::path staging, StreamFormat format = StreamFormat::zip);
  ~StreamUnpacker();
  StreamUnpacker(const StreamUnpacker&) = delete;
  StreamUnpacker& operator=(const StreamUnpacker&) = delete;

  // Appends the next bytes of the archive. False once the unpacking has
  // failed or was cancelled (the bytes are then dropped; `finish` says why).
  bool feed(const void* data, std::size_t size);

  // Ends the archive and waits for the unpacking to complete. True when
  // the staging folder holds the whole tree; otherwise false with a message
  // in `*error`, and the staging folder is gone. Call once.
  bool finish(std::string* error);

  // Stops the unpacking and returns once the staging folder is removed. A
  // producer blocked in `feed` returns false. Once `finish` has succeeded
  // it changes nothing.
  void cancel();

  const std::filesystem::path& staging() const { return staging_; }

 private:
  friend class StreamInput;

  // The unpacking thread's side of the queue: copies up to `size` bytes
  // (at least one) into `out`; 0 at the end of the archive or on cancel.
  std::size_t pull(unsigned char* out, std::size_t size);
  void run();

  std::filesystem::path staging_;
  StreamFormat format_;

  std::mutex mu_;  // guards the fields up to the thread
  std::condition_variable changed_;
  std::deque<std::vector<unsigned char>> queue_;
  std::size_t frontOffset_ = 0;  // bytes of queue_.front() already pulled
  std::size_t queued_ = 0;
  bool closed_ = false;
  bool cancelled_ = false;
  bool done_ = false;  // the thread has finished and cleaned up
  bool ok_ = false;
  std::string error_;

  std::thread worker_;
};

// The total uncompressed size of the entries of a ZIP archive of
// `archiveSize` bytes, from `tail`, its last bytes (as a Range request for
// the end of the file gives them), so that free space can be checked
// before the first entry is written. When `tail` does not reach back to the
// start of the central directory: absent, with the number of tail bytes
// that would in `*needed` (0 when the tail is not the end of a ZIP archive
// at all). Any thread.
std::optional<std::uint64_t> zipUncompressedTotal(std::string_view tail, std::uint64_t archiveSize,
                                                  std::uint64_t* needed);

}  // namespace installer::helpers
