// The package cache and the download step of an install run: turns the
// package URL into a local package file whose checksum is known to be
// right, reusing an intact cached package when there is one.
//
// Cached packages live in <application support>/<installer bundle id>/
// (or .../installer/), named "<version>-<suggested file name>" when the
// link carries a version. After every verified package the cache is pruned
// to that one package.
//
// An interrupted download leaves its partial file ("<cache file>.partial")
// and a record of it (".partial-download": URL, time, resume data) in the
// cache, at most one per installer, so that the next launch continues it
// when the server still offers the same file. A record older than 7 days
// or for another URL is removed with its partial file. The record and the
// partial file are created 0600, the cache directories this step creates
// 0700.
//
// A cached package is verified with its digests computed side by side,
// one thread per digest (digestFile).
//
// A package may come from several sources (the link's url, then its
// mirrors). A source that fails for good (refused connection, HTTP error,
// a stall or cut past the automatic resumes, a changed file) hands over to
// the next one. When a digest will prove the package whole (MD5, SHA-256,
// or a signature with a signing key), the next source continues from the
// first missing byte; without one it starts from byte 0, so bytes of two
// hosts are never joined unproven. The automatic resumes are one budget
// for the whole download, so trying every source adds at most one attempt
// per source. The kept partial download remembers its source, and the next
// launch resumes there first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "run_status/install_types.h"
#include "network/downloader.h"
#include "proof/integrity.h"
#include "platform/url.h"
#include "telemetry/reporter.h"

namespace installer {

// <application support>/<bundleIdentifier, or "installer" when empty>.
// Absent when there is no application-support directory.
std::optional<std::filesystem::path> packageCacheDirectory(const std::string& bundleIdentifier);

// "<filtered version>-<suggested name>": the version keeps only Unicode
// letters and numbers, ".", "-" and "_" ("1.0 beta/2" -> "1.0beta2-"); no
// prefix when no version or nothing is left of it.
std::string cacheFileName(const platform::URL& url, const std::optional<std::string>& version);

// Deletes every visible entry of `directory` except `keep`. Failures are
// ignored.
void prunePackageCache(const std::filesystem::path& directory, const std::filesystem::path& keep);

// The download step. Keeps, from one run to the next within the process,
// the attempt counter per URL and the resume data of the last failed
// download. `run` is called on the coordinator's work queue, one at a time;
// `cancel` and `resetCancel` from any thread.
class PackageDownloadStep {
 public:
  struct Options {
    // Where packages are cached; absent = no cache (downloads land in
    // `workingDirectory`).
    std::optional<std::filesystem::path> cacheDirectory;
    std::filesystem::path workingDirectory;
    // Handed to every Downloader (HTTP stack, CA bundle, limits, clock).
    Downloader::Options downloader;
    // Receives downloadStartInfo, downloadFinishedInfo, md5ErrorInfo and
    // downloadDataError. Must outlive the step. Null = Reporter::shared().
    Reporter* reporter = nullptr;
    // Automatic resumes within one run: a download that ends with a lost
    // connection, a reset or an idle time-out and left resume data starts
    // again from where it stopped, once per entry, after that delay with
    // up to 20% jitter either way. Each counts as a download attempt.
    // Empty = none.
    std::vector<std::chrono::milliseconds> retryDelays;
    // The jitter factor, in [0.8, 1.2]; uniformly random when unset.
    std::function<double()> jitter;
    // Dates kept partial downloads; the system clock when unset.
    std::function<std::chrono::system_clock::time_point()> wallClock;
  };

  // Where the step reports to the owner; each posts asynchronously.
  struct Hooks {
    std::function<void(InstallStage)> postStage;
    std::function<void(const TransferProgress&)> postProgress;
    // Sees the downloaded bytes as they arrive (Downloader::Options::tap);
    // none when null. When it stops a download, the partial file is
    // dropped and the run fails with verifyFailed; the tap knows why.
    std::shared_ptr<DownloadTap> tap;
  };

  explicit PackageDownloadStep(Options options);

  // Returns the path of a package for `url` whose checksum matched
  // `expectedMD5` (unchecked when absent or empty). Throws FailureBox with
  // network, verifyFailed or cancelled. `linkVersion` names the cache file.
  std::filesystem::path run(const platform::URL& url, const std::optional<std::string>& linkVersion,
                            const std::optional<std::string>& expectedMD5, const Hooks& hooks);
  // The same with every check a package may have to pass: MD5, SHA-256
  // and, with a signing key, the signature (a cached package too). A
  // refused package is deleted and the run fails with verifyFailed.
  std::filesystem::path run(const platform::URL& url, const std::optional<std::string>& linkVersion,
                            const PackageExpectations& expected, const Hooks& hooks);
  // The same for a package offered by several `sources` (not empty): the
  // first one names the cache file and the kept partial download; the
  // others are tried in order after it. The network failure's detail is
  // the last source's error; the download events name the source tried,
  // downloadFinishedInfo the one that finished.
  std::filesystem::path run(const std::vector<platform::URL>& sources,
                            const std::optional<std::string>& linkVersion,
                            const PackageExpectations& expected, const Hooks& hooks);

  // Stops a running download; the run then fails with `cancelled`.
  void cancel();
  // Clears a cancellation; called when a new run starts.
  void resetCancel();
  bool isCancelled() const { return cancelled_.load(); }

  // Whether the last `run` checked the package's checksum (so that the
  // verification step need not do it again).
  bool checksumVerified() const { return checksumVerified_; }
  // Bytes received by the current or last download.
  std::int64_t lastReceived() const { return lastReceived_->load(); }
  int downloadAttempts() const { return downloadAttempts_; }

 private:
  std::optional<std::filesystem::path> cachePath(const platform::URL& url,
                                                 const std::optional<std::string>& version) const;
  std::filesystem::path downloadOnce(const std::vector<platform::URL>& sources,
                                     const std::optional<std::filesystem::path>& cached,
                                     const PackageExpectations& expected, const Hooks& hooks);
  // The kept partial download of the package first offered at `sources[0]`:
  // adopt it (when fresh and its source is still offered), drop it
  // otherwise; record a new one with the source its bytes came from;
  // forget it after success.
  void adoptKeptPartial(const std::vector<platform::URL>& sources);
  void keepPartial(const platform::URL& package, const platform::URL& source,
                   const std::string& resumeData);
  void forgetKeptPartial();
  // Waits `delay` with jitter; false when cancelled meanwhile.
  bool waitBeforeRetry(std::chrono::milliseconds delay);

  Options options_;
  std::atomic<bool> cancelled_{false};
  std::mutex downloaderMu_;  // guards downloader_
  std::shared_ptr<Downloader> downloader_;
  std::mutex retryMu_;  // with retryCv_, wakes a retry delay on cancel
  std::condition_variable retryCv_;

  // Work queue only.
  bool checksumVerified_ = false;
  std::optional<std::string> resumeData_;
  std::optional<platform::URL> resumeURL_;
  int downloadAttempts_ = 0;
  std::optional<platform::URL> downloadAttemptsURL_;
  std::shared_ptr<std::atomic<std::int64_t>> lastReceived_ =
      std::make_shared<std::atomic<std::int64_t>>(0);
};

}  // namespace installer
