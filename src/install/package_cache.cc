#include "install/package_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "proof/integrity.h"
#include "platform/dispatch.h"
#include "platform/system_info.h"

namespace installer {
namespace {

bool isKeptVersionCharacter(UChar32 c) {
  if (c == '.' || c == '-' || c == '_') return true;
  return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

std::string filteredVersion(const std::string& version) {
  std::string out;
  const auto* s = reinterpret_cast<const uint8_t*>(version.data());
  int32_t length = static_cast<int32_t>(version.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c >= 0 && isKeptVersionCharacter(c)) out.append(version, start, i - start);
  }
  return out;
}

// A digest that will be checked at the end proves bytes joined from
// several sources.
bool provesWhole(const PackageExpectations& expected) {
  auto present = [](const std::optional<std::string>& text) { return text && !text->empty(); };
  return present(expected.md5) || present(expected.sha256) ||
         (present(expected.signature) && present(expected.signingKey));
}

// Failures another source may not have: not the user's cancel, not a full
// or unwritable disk here.
bool anotherSourceMayHelp(const DownloadError& error) {
  if (std::holds_alternative<download_error::badStatus>(error)) return true;
  if (auto* e = std::get_if<download_error::network>(&error)) {
    return e->code != platform::url_error::cannotWriteToFile;
  }
  return false;
}

bool offers(const std::vector<platform::URL>& sources, const platform::URL& url) {
  return std::find(sources.begin(), sources.end(), url) != sources.end();
}

int telemetryErrno(const DownloadError& error) {
  if (auto* e = std::get_if<download_error::badStatus>(&error)) return static_cast<int>(e->status);
  if (auto* e = std::get_if<download_error::network>(&error)) return e->code.value_or(-1);
  return -1;
}

}  // namespace

std::optional<std::filesystem::path> packageCacheDirectory(const std::string& bundleIdentifier) {
  std::filesystem::path support = platform::applicationSupportDirectory();
  if (support.empty()) return std::nullopt;
  return support / (bundleIdentifier.empty() ? std::string("installer") : bundleIdentifier);
}

std::string cacheFileName(const platform::URL& url, const std::optional<std::string>& version) {
  std::string name = Downloader::suggestedFileName(url);
  if (version) {
    std::string prefix = filteredVersion(*version);
    if (!prefix.empty()) return prefix + "-" + name;
  }
  return name;
}

void prunePackageCache(const std::filesystem::path& directory, const std::filesystem::path& keep) {
  std::error_code ec;
  std::filesystem::directory_iterator it(directory, ec);
  if (ec) return;
  const auto kept = keep.lexically_normal();
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    const auto& path = it->path();
    if (path.filename().string().starts_with(".")) continue;
    if (path.lexically_normal() == kept) continue;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
}

PackageDownloadStep::PackageDownloadStep(Options options) : options_(std::move(options)) {
  if (!options_.reporter) options_.reporter = &Reporter::shared();
}

void PackageDownloadStep::cancel() {
  cancelled_.store(true);
  {
    std::lock_guard lock(retryMu_);
    retryCv_.notify_all();
  }
  std::lock_guard lock(downloaderMu_);
  if (downloader_) downloader_->cancel();
}

void PackageDownloadStep::resetCancel() { cancelled_.store(false); }

std::optional<std::filesystem::path> PackageDownloadStep::cachePath(
    const platform::URL& url, const std::optional<std::string>& version) const {
  if (!options_.cacheDirectory) return std::nullopt;
  createPrivateDirectories(*options_.cacheDirectory);
  return *options_.cacheDirectory / cacheFileName(url, version);
}

std::filesystem::path PackageDownloadStep::run(const platform::URL& url,
                                               const std::optional<std::string>& linkVersion,
                                               const std::optional<std::string>& expectedMD5,
                                               const Hooks& hooks) {
  PackageExpectations expected;
  expected.md5 = expectedMD5;
  return run(url, linkVersion, expected, hooks);
}

std::filesystem::path PackageDownloadStep::run(const platform::URL& url,
                                               const std::optional<std::string>& linkVersion,
                                               const PackageExpectations& expected,
                                               const Hooks& hooks) {
  return run(std::vector<platform::URL>{url}, linkVersion, expected, hooks);
}

std::filesystem::path PackageDownloadStep::run(const std::vector<platform::URL>& sources,
                                               const std::optional<std::string>& linkVersion,
                                               const PackageExpectations& expected,
                                               const Hooks& hooks) {
  checksumVerified_ = false;
  auto cached = cachePath(sources.front(), linkVersion);

  if (cached) {
    std::error_code ec;
    auto status = std::filesystem::symlink_status(*cached, ec);
    if (std::filesystem::is_regular_file(status)) {
      bool valid = !expected.any();
      if (!valid) {
        try {
          verifyDigests(digestFile(*cached, expected.kinds()), expected);
          valid = true;
        } catch (const std::exception&) {
          valid = false;
        }
      }
      if (valid) {
        checksumVerified_ = true;
        prunePackageCache(*options_.cacheDirectory, *cached);
        return *cached;
      }
    }
    if (std::filesystem::exists(status)) {
      std::error_code ignored;
      std::filesystem::remove_all(*cached, ignored);
    }
  }

  if (hooks.postStage) hooks.postStage(InstallStage::downloading);
  // The kept record is never older than what this process holds in memory
  // (every attempt that leaves resume data writes it), and it survives a
  // cancel, which the in-memory copy does not follow.
  adoptKeptPartial(sources);
  return downloadOnce(sources, cached, expected, hooks);
}

std::filesystem::path PackageDownloadStep::downloadOnce(
    const std::vector<platform::URL>& sources, const std::optional<std::filesystem::path>& cached,
    const PackageExpectations& expected, const Hooks& hooks) {
  const platform::URL& package = sources.front();
  const std::filesystem::path destination =
      cached ? *cached : options_.workingDirectory / Downloader::suggestedFileName(package);
  const bool joinable = provesWhole(expected);

  // Kept bytes are continued where they came from; otherwise the sources
  // go in the order offered.
  std::vector<platform::URL> order = sources;
  if (resumeURL_) {
    auto kept = std::find(order.begin(), order.end(), *resumeURL_);
    if (kept != order.end()) std::rotate(order.begin(), kept, kept + 1);
  }

  std::size_t index = 0;
  std::size_t retries = 0;
  bool resumingHere = false;  // an automatic resume at the same source
  if (!downloadAttemptsURL_ || !(*downloadAttemptsURL_ == package)) {
    downloadAttemptsURL_ = package;
    downloadAttempts_ = 0;
  }
  lastReceived_->store(0);
  for (;;) {
    const platform::URL& source = order[index];
    const std::string sourceText = source.absoluteString();
    const int attempt = ++downloadAttempts_;
    options_.reporter->report(event::downloadStartInfo{sourceText, attempt});

    struct Slot {
      platform::Semaphore done;
      std::optional<DownloadResult> result;
    };
    auto slot = std::make_shared<Slot>();
    Downloader::Options downloaderOptions = options_.downloader;
    downloaderOptions.digests = expected.kinds();
    // An automatic resume must not quietly start a changed file over.
    if (resumingHere) downloaderOptions.restartWhenChanged = false;
    downloaderOptions.joinSources = joinable;
    downloaderOptions.keepWhenChanged = joinable && index + 1 < order.size();
    downloaderOptions.tap = hooks.tap;
    auto downloader = std::make_shared<Downloader>(std::move(downloaderOptions));
    {
      std::lock_guard lock(downloaderMu_);
      downloader_ = downloader;
    }
    // A cancel that came before the downloader existed still has to stop it.
    if (cancelled_.load()) downloader->cancel();

    std::optional<std::string> resume;
    if (resumeURL_ && (*resumeURL_ == source || (joinable && offers(sources, *resumeURL_)))) {
      resume = resumeData_;
    }

    auto lastReceived = lastReceived_;
    auto postProgress = hooks.postProgress;
    downloader->start(
        source, destination, resume,
        [lastReceived, postProgress](const TransferProgress& progress) {
          lastReceived->store(progress.received);
          if (postProgress) postProgress(progress);
        },
        [slot](const DownloadResult& result) {
          slot->result = result;
          slot->done.signal();
        });
    slot->done.wait();
    {
      std::lock_guard lock(downloaderMu_);
      downloader_.reset();
    }
    auto keptResumeData = downloader->resumeData();
    auto keptResumeURL = downloader->resumeDataURL();
    auto digests = downloader->digests();
    downloader.reset();

    // Whatever ended the attempt, bytes already here are kept for the next
    // launch (a quit cancels the download).
    if (keptResumeData && keptResumeURL && offers(sources, *keptResumeURL)) {
      keepPartial(package, *keptResumeURL, *keptResumeData);
    }
    if (cancelled_.load()) throw FailureBox(failure::cancelled{});

    if (auto* error = std::get_if<DownloadError>(&*slot->result)) {
      resumeData_ = keptResumeData;
      resumeURL_ = keptResumeURL;
      if (!keptResumeData) forgetKeptPartial();
      if (std::holds_alternative<download_error::cancelled>(*error)) {
        throw FailureBox(failure::cancelled{});
      }
      if (std::holds_alternative<download_error::stopped>(*error)) {
        // A source that served a chunk failing its proof is done for this
        // run; the proven bytes before that chunk are kept, and another
        // source goes on from there.
        auto at = hooks.tap && keptResumeData && keptResumeURL && order.size() > 1
                      ? hooks.tap->resumableAt()
                      : std::nullopt;
        auto cut = at ? Downloader::truncateResumeData(*keptResumeData, *at) : std::nullopt;
        if (cut) {
          options_.reporter->report(event::downloadDataError{
              sourceText, -1, description(*error), lastReceived_->load(), attempt});
          resumeData_ = cut;
          resumeURL_ = keptResumeURL;
          keepPartial(package, *keptResumeURL, *cut);
          order.erase(order.begin() + static_cast<std::ptrdiff_t>(index));
          if (index >= order.size()) index = 0;
          resumingHere = false;
          continue;
        }
        // Bytes the proof refused are never resumed from.
        if (keptResumeData) Downloader::discardResumeData(*keptResumeData);
        resumeData_.reset();
        resumeURL_.reset();
        forgetKeptPartial();
        options_.reporter->report(event::downloadDataError{
            sourceText, -1, description(*error), lastReceived_->load(), attempt});
        throw FailureBox(failure::verifyFailed{description(*error)});
      }
      options_.reporter->report(event::downloadDataError{
          sourceText, telemetryErrno(*error), telemetryText(*error), lastReceived_->load(), attempt});
      const auto* net = std::get_if<download_error::network>(error);
      const bool transient = net && net->code &&
                             (*net->code == platform::url_error::networkConnectionLost ||
                              *net->code == platform::url_error::timedOut);
      if (transient && keptResumeData && retries < options_.retryDelays.size()) {
        if (!waitBeforeRetry(options_.retryDelays[retries++])) throw FailureBox(failure::cancelled{});
        resumingHere = true;
        continue;
      }
      if (anotherSourceMayHelp(*error) && index + 1 < order.size()) {
        ++index;
        resumingHere = false;
        continue;
      }
      throw FailureBox(failure::network{description(*error)});
    }

    const auto& file = std::get<DownloadedFile>(*slot->result);
    resumeData_.reset();
    resumeURL_.reset();
    forgetKeptPartial();
    lastReceived_->store(file.size);
    try {
      if (expected.any()) {
        // The digests made while downloading; a full read only when they
        // could not be matched with the file.
        if (!digests || digests->size != fileSize(file.file)) {
          digests = digestFile(file.file, expected.kinds());
        }
        verifyDigests(*digests, expected);
      }
    } catch (const std::exception& e) {
      std::error_code ignored;
      std::filesystem::remove(file.file, ignored);
      options_.reporter->report(event::md5ErrorInfo{sourceText});
      options_.reporter->report(event::downloadDataError{sourceText, -1, e.what(), file.size, attempt});
      throw FailureBox(failure::verifyFailed{e.what()});
    }
    checksumVerified_ = true;
    if (options_.cacheDirectory) prunePackageCache(*options_.cacheDirectory, file.file);
    options_.reporter->report(event::downloadFinishedInfo{sourceText, file.size, attempt});
    return file.file;
  }
}

bool PackageDownloadStep::waitBeforeRetry(std::chrono::milliseconds delay) {
  double factor;
  if (options_.jitter) {
    factor = std::clamp(options_.jitter(), 0.8, 1.2);
  } else {
    thread_local std::mt19937 random{std::random_device{}()};
    factor = std::uniform_real_distribution<double>(0.8, 1.2)(random);
  }
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(delay * factor);
  std::unique_lock lock(retryMu_);
  retryCv_.wait_for(lock, wait, [this] { return cancelled_.load(); });
  return !cancelled_.load();
}

namespace {

constexpr auto kPartialLifetime = std::chrono::hours(24 * 7);
constexpr const char* kPartialRecord = ".partial-download";
constexpr std::int64_t kLatestSavedAt =
    std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::duration::max()).count();

struct PartialRecord {
  std::string url;     // the package's first source
  std::string source;  // where the kept bytes came from last
  std::int64_t savedAt = 0;  // seconds since the epoch
  std::string resumeData;
};

std::optional<PartialRecord> readPartialRecord(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  auto j = nlohmann::json::parse(text.str(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  try {
    PartialRecord record;
    // Numbers are read only as integers: a fraction or exponent is no
    // record of ours, and converting one out of range is undefined.
    const auto& version = j.at("v");
    const auto& savedAt = j.at("savedAt");
    if (!version.is_number_integer() || version.get<std::int64_t>() != 1) return std::nullopt;
    if (!savedAt.is_number_integer()) return std::nullopt;
    record.url = j.at("url").get<std::string>();
    record.savedAt = savedAt.get<std::int64_t>();
    // A time the clock cannot hold was never written by us (one past
    // INT64_MAX reads back negative).
    if (record.savedAt < 0 || record.savedAt > kLatestSavedAt) return std::nullopt;
    record.resumeData = j.at("resumeData").get<std::string>();
    // Records from before mirrors: the bytes came from the package's URL.
    record.source = j.contains("source") ? j.at("source").get<std::string>() : record.url;
    return record;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// A record names its partial file; only one inside the cache is ever
// used or deleted, whatever the record says.
bool partialInside(const std::filesystem::path& directory, const std::string& resumeData) {
  auto partial = Downloader::partialFileOf(resumeData);
  return partial && partial->lexically_normal().parent_path() == directory.lexically_normal();
}

}  // namespace

void PackageDownloadStep::adoptKeptPartial(const std::vector<platform::URL>& sources) {
  if (!options_.cacheDirectory) return;
  const auto file = *options_.cacheDirectory / kPartialRecord;
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return;
  auto record = readPartialRecord(file);
  auto now = options_.wallClock ? options_.wallClock() : std::chrono::system_clock::now();
  auto saved = std::chrono::system_clock::time_point(std::chrono::seconds(record ? record->savedAt : 0));
  const bool inside = record && partialInside(*options_.cacheDirectory, record->resumeData);
  auto source = record ? platform::URL::parse(record->source) : std::nullopt;
  if (inside && record->url == sources.front().absoluteString() && source &&
      offers(sources, *source) && now >= saved && now - saved <= kPartialLifetime) {
    resumeData_ = record->resumeData;
    resumeURL_ = source;
    return;
  }
  if (inside) Downloader::discardResumeData(record->resumeData);
  std::filesystem::remove(file, ec);
}

void PackageDownloadStep::keepPartial(const platform::URL& package, const platform::URL& source,
                                      const std::string& resumeData) {
  if (!options_.cacheDirectory) return;
  const auto file = *options_.cacheDirectory / kPartialRecord;
  // At most one partial download per installer.
  if (auto old = readPartialRecord(file); old && partialInside(*options_.cacheDirectory, old->resumeData)) {
    if (Downloader::partialFileOf(old->resumeData) != Downloader::partialFileOf(resumeData)) {
      Downloader::discardResumeData(old->resumeData);
    }
  }
  auto now = options_.wallClock ? options_.wallClock() : std::chrono::system_clock::now();
  nlohmann::json j = {
      {"v", 1},
      {"url", package.absoluteString()},
      {"source", source.absoluteString()},
      {"savedAt", std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count()},
      {"resumeData", resumeData}};
  // Written aside and renamed, so a reader never sees half a record; it
  // names what the user downloads, so it is the user's alone.
  const auto temporary = *options_.cacheDirectory / (std::string(kPartialRecord) + ".new");
  {
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    const std::string text = j.dump();
    bool ok = ::fchmod(fd, 0600) == 0 &&
              ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(fd) != 0 || !ok) return;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, file, ec);
}

void PackageDownloadStep::forgetKeptPartial() {
  if (!options_.cacheDirectory) return;
  std::error_code ignored;
  std::filesystem::remove(*options_.cacheDirectory / kPartialRecord, ignored);
}

}  // namespace installer
