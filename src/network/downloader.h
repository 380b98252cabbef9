// The package downloader: fetches one file over HTTPS into a destination
// file with throttled progress (speed and remaining time), and finishes
// with the file and its size or a typed error. An interrupted attempt
// leaves resume data that a later attempt at the same URL can start from.
//
// Resume data is an opaque byte string. On this platform it names the URL,
// a partial file (never the destination itself, so a half-downloaded file
// is never mistaken for a finished one), its size and the validators the
// server gave (ETag, Last-Modified). A resumed attempt asks for the rest
// with "Range" guarded by "If-Range": a 206 whose range starts at the
// partial size is appended, a 200 replaces the partial file, and a 206 for
// any other offset (or a 416) starts over without a range, and so does a
// 206 that does not carry the validator If-Range named (a cache that
// ignored it): two files are never joined.
//
// The one exception is a package served by several sources (mirrors) that
// a digest will prove whole at the end (Options::joinSources): then the
// partial file of one source may be continued from another with a plain
// Range request (the first source's validator means nothing there). The
// resume data remembers which source and validator each kept span came
// from; a partial file joined from several sources is only ever resumed
// under joinSources.
//
// The partial file is private (0600), and so are the directories created
// for it (0700). It never grows into the free-space reserve that unpacking
// keeps on its volume, nor beyond an expected size: an announced length
// that would is refused at the head of the answer, a body without one is
// stopped at the byte that would; either ends with noSpaceNeeded and no
// partial file.
//
// The package's digests (MD5, and SHA-256 and the signature prehash when
// asked for) are computed from the bytes as they are written, each on a
// hashing thread of its own (a DigestPipeline), taking up the partial
// file's bytes first when an attempt resumes, so a finished download needs
// no second read to be verified. The transfer waits for them only when
// they fall 8 MiB behind; their threads end before the completion runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "extract/space_reserve.h"
#include "run_status/install_types.h"
#include "proof/integrity.h"
#include "platform/dispatch.h"
#include "platform/http_client.h"
#include "platform/url.h"

namespace installer {

// Creates `directory` and its missing parents, each one it creates private
// to the user (0700); existing ones are left as they are. Failures are
// ignored (a later open of a file inside reports them).
void createPrivateDirectories(const std::filesystem::path& directory);

namespace download_error {
struct badStatus {
  long status = 0;
  bool operator==(const badStatus&) const = default;
};
struct network {
  std::string message;
  std::optional<int> code;  // a platform::url_error value
  bool operator==(const network&) const = default;
};
struct noSpaceNeeded {
  std::int64_t needed = 0;
  std::int64_t available = 0;
  bool operator==(const noSpaceNeeded&) const = default;
};
struct cancelled {
  bool operator==(const cancelled&) const = default;
};
// The tap refused the bytes (see DownloadTap).
struct stopped {
  bool operator==(const stopped&) const = default;
};
}  // namespace download_error

using DownloadError = std::variant<download_error::badStatus, download_error::network,
                                   download_error::noSpaceNeeded, download_error::cancelled,
                                   download_error::stopped>;

// "HTTP 404", the network message, "need 1.2 GB, available 3 MB",
// "cancelled", "stopped by the package's proof".
std::string description(const DownloadError& error);
// The text sent with download telemetry: like the description, except a
// network error with a code (other than -999) gives the code's short
// English text and noSpaceNeeded gives "no space left on device".
std::string telemetryText(const DownloadError& error);

struct DownloadedFile {
  std::filesystem::path file;
  std::int64_t size = 0;
  bool operator==(const DownloadedFile&) const = default;
};
using DownloadResult = std::variant<DownloadedFile, DownloadError>;

// Progress throttling and the speed estimate. Not thread-safe; one per
// attempt.
class TransferMeter {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  // Records a callback with `received` bytes so far and the server's total
  // (`announced` > 0 updates the known total; otherwise it is kept). Returns
  // the progress to report, or nothing when less than or exactly 0.1 s
  // passed since the last report. The speed is taken over the reports of
  // the last 5 s (0 until the oldest of them is more than 0.3 s old).
  std::optional<TransferProgress> update(TimePoint now, std::int64_t received,
                                         std::int64_t announced);
  std::int64_t expected() const { return expected_; }

 private:
  std::deque<std::pair<TimePoint, std::int64_t>> samples_;
  std::int64_t expected_ = 0;
  std::optional<TimePoint> lastReported_;
};

// Sees the file's bytes in order, from byte 0, as they are written, so
// that they can be worked on while the download goes on (proven chunk by
// chunk and unpacked). Called on the transfer thread only, never after the
// completion has run.
//
// When an answer starts writing at byte `base` and the tap holds less, the
// partial file's bytes up to `base` are replayed into it first; when it
// holds more (the file starts over, or a rest was refused), it is rewound
// and replayed from 0. Any `false` stops the attempt: its partial file and
// resume data are kept as after a cut, and the completion reports
// `stopped`; the tap's owner knows why.
class DownloadTap {
 public:
  virtual ~DownloadTap() = default;
  // How many of the file's first bytes the tap holds.
  virtual std::int64_t position() const = 0;
  // Drops everything; the next bytes are the file's first.
  virtual bool rewind() = 0;
  // The next bytes of the file.
  virtual bool write(const unsigned char* data, std::size_t size) = 0;
  // After the tap stopped an attempt: the offset from which another source
  // may go on (the tap then holds exactly that many bytes), or absent when
  // nothing can be saved. Called by the tap's owner, not by the downloader.
  virtual std::optional<std::int64_t> resumableAt() { return std::nullopt; }
};

// One download attempt. Create, `start` once, optionally `cancel`, read the
// resume data after the completion has run. `start` and `cancel` may be
// called from any thread; the progress handler and the completion run on
// the downloader's own serial queue, one at a time, the completion exactly
// once. Destroying a downloader cancels its transfer and waits for the
// transfer to end (about 100 ms); do not destroy it from its own callbacks.
class Downloader {
 public:
  using ProgressHandler = std::function<void(const TransferProgress&)>;
  using Completion = std::function<void(const DownloadResult&)>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  struct Options {
    // The HTTP stack; a CurlHttpClient when null.
    std::shared_ptr<platform::HttpClient> http;
    // PEM file of trusted CAs; absent = the system store (the product).
    std::optional<std::string> caBundlePath;
    // No byte for this long ends the attempt (timed out, -1001).
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(30)};
    // The whole attempt may last this long.
    std::chrono::milliseconds totalTimeout{std::chrono::seconds(3600)};
    // The time source of progress throttling, speed and the idle and total
    // limits; steady clock when unset.
    Clock clock;
    // The digests computed while the bytes arrive (see `digests`).
    DigestKinds digests;
    // What a resumed attempt does when the server answers the range
    // request with the whole file under other validators (the file
    // changed): start over (true), or end with the network error
    // "the file on the server has changed" and drop the partial file.
    bool restartWhenChanged = true;
    // With restartWhenChanged false: keep the partial file and its resume
    // data when the file changed, for another source to continue.
    bool keepWhenChanged = false;
    // The finished file will be proven by a digest, so resume data of
    // another source (another URL) for the same destination is continued,
    // and a partial file joined from several sources may be resumed.
    bool joinSources = false;
    // The package's size when it is known beforehand (DownloadPackageSize):
    // a file that would grow beyond it ends the attempt with noSpaceNeeded.
    std::optional<std::int64_t> expectedSize;
    // The free-space source of the reserve; the file system when unset.
    // Called on the transfer thread.
    std::function<std::optional<helpers::VolumeSpace>(const std::filesystem::path&)> volumeSpace;
    // Sees the bytes as they are written; none when null.
    std::shared_ptr<DownloadTap> tap;
  };

  Downloader();
  explicit Downloader(Options options);
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Starts fetching `url` into `destination` (its parent directory is
  // created) and returns at once. `resumeData` from an earlier attempt is
  // used when it belongs to `url` and its partial file is intact; empty
  // resume data counts as none.
  void start(const platform::URL& url, const std::filesystem::path& destination,
             std::optional<std::string> resumeData, ProgressHandler progress,
             Completion completion);
  // Ends the attempt with `cancelled`, keeping resume data for the bytes
  // already received when the server allows resuming.
  void cancel();

  // The resume data of the current or last attempt and the URL it belongs
  // to. Read them after the completion has run.
  std::optional<std::string> resumeData() const;
  std::optional<platform::URL> resumeDataURL() const;

  // After a successful completion: the digests of the finished file, as
  // chosen in Options::digests. Absent before, after a failure, or when
  // the bytes hashed could not be matched with the file (then read the
  // file instead).
  std::optional<PackageDigests> digests() const;

  // Deletes the partial file that resume data names; for resume data that
  // will never be used. Malformed data is ignored.
  static void discardResumeData(const std::string& resumeData);
  // Resume data for the first `size` bytes of what `resumeData` describes,
  // its partial file cut to that size; absent (and nothing changed) for
  // malformed data, a size beyond it, or a file that cannot be cut.
  static std::optional<std::string> truncateResumeData(const std::string& resumeData,
                                                       std::int64_t size);
  // The partial file that resume data names; absent for malformed data.
  static std::optional<std::filesystem::path> partialFileOf(const std::string& resumeData);

  // The file name for a download: the URL's last path component with "/"
  // replaced by "_", "installer-package.dmg" when empty, ".dmg" appended
  // unless it ends in .dmg, .pkg or .zip (any letter case).
  static std::string suggestedFileName(const platform::URL& url);

  // The last `length` bytes of the file at `url` and the file's size, by
  // a suffix Range request over `options`' HTTP stack and CA bundle, within
  // a few seconds; absent when the server does not answer with that range.
  // Blocks the calling thread.
  struct Tail {
    std::string bytes;
    std::int64_t total = 0;
  };
  static std::optional<Tail> fetchTail(const platform::URL& url, std::int64_t length,
                                       const Options& options);

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace installer
