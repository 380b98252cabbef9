#include "install/package_cache.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <system_error>

#include "package/integrity.h"
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

bool sameDigest(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
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
  std::lock_guard lock(downloaderMu_);
  if (downloader_) downloader_->cancel();
}

void PackageDownloadStep::resetCancel() { cancelled_.store(false); }

std::optional<std::filesystem::path> PackageDownloadStep::cachePath(
    const platform::URL& url, const std::optional<std::string>& version) const {
  if (!options_.cacheDirectory) return std::nullopt;
  std::error_code ec;
  std::filesystem::create_directories(*options_.cacheDirectory, ec);
  return *options_.cacheDirectory / cacheFileName(url, version);
}

std::filesystem::path PackageDownloadStep::run(const platform::URL& url,
                                               const std::optional<std::string>& linkVersion,
                                               const std::optional<std::string>& expectedMD5,
                                               const Hooks& hooks) {
  checksumVerified_ = false;
  const std::string urlText = url.absoluteString();
  const bool hasExpected = expectedMD5 && !expectedMD5->empty();
  auto cached = cachePath(url, linkVersion);

  if (cached) {
    std::error_code ec;
    auto status = std::filesystem::symlink_status(*cached, ec);
    if (std::filesystem::is_regular_file(status)) {
      bool valid = !hasExpected;
      if (hasExpected) {
        try {
          valid = sameDigest(md5Hex(*cached), *expectedMD5);
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

  if (!downloadAttemptsURL_ || !(*downloadAttemptsURL_ == url)) {
    downloadAttemptsURL_ = url;
    downloadAttempts_ = 0;
  }
  const int attempt = ++downloadAttempts_;
  options_.reporter->report(event::downloadStartInfo{urlText, attempt});

  struct Slot {
    platform::Semaphore done;
    std::optional<DownloadResult> result;
  };
  auto slot = std::make_shared<Slot>();
  auto downloader = std::make_shared<Downloader>(options_.downloader);
  {
    std::lock_guard lock(downloaderMu_);
    downloader_ = downloader;
  }
  // A cancel that came before the downloader existed still has to stop it.
  if (cancelled_.load()) downloader->cancel();

  std::filesystem::path destination =
      cached ? *cached : options_.workingDirectory / Downloader::suggestedFileName(url);
  std::optional<std::string> resume;
  if (resumeURL_ && *resumeURL_ == url) resume = resumeData_;
  lastReceived_->store(0);

  auto lastReceived = lastReceived_;
  auto postProgress = hooks.postProgress;
  downloader->start(
      url, destination, resume,
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
  downloader.reset();

  if (cancelled_.load()) throw FailureBox(failure::cancelled{});

  if (auto* error = std::get_if<DownloadError>(&*slot->result)) {
    resumeData_ = keptResumeData;
    resumeURL_ = keptResumeURL;
    if (std::holds_alternative<download_error::cancelled>(*error)) {
      throw FailureBox(failure::cancelled{});
    }
    options_.reporter->report(event::downloadDataError{
        urlText, telemetryErrno(*error), telemetryText(*error), lastReceived_->load(), attempt});
    throw FailureBox(failure::network{description(*error)});
  }

  const auto& file = std::get<DownloadedFile>(*slot->result);
  resumeData_.reset();
  resumeURL_.reset();
  lastReceived_->store(file.size);
  try {
    verifyChecksum(file.file, expectedMD5);
  } catch (const std::exception& e) {
    std::error_code ignored;
    std::filesystem::remove(file.file, ignored);
    options_.reporter->report(event::md5ErrorInfo{urlText});
    options_.reporter->report(event::downloadDataError{urlText, -1, e.what(), file.size, attempt});
    throw FailureBox(failure::verifyFailed{e.what()});
  }
  checksumVerified_ = true;
  if (options_.cacheDirectory) prunePackageCache(*options_.cacheDirectory, file.file);
  options_.reporter->report(event::downloadFinishedInfo{urlText, file.size, attempt});
  return file.file;
}

}  // namespace installer
