#include "network/downloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "proof/digest_pipeline.h"
#include "telemetry/report_event.h"

namespace installer {
namespace {

constexpr auto kReportInterval = std::chrono::milliseconds(100);
constexpr auto kSpeedWindow = std::chrono::seconds(5);
constexpr auto kMinimumSpeedSpan = std::chrono::milliseconds(300);

std::string percentDecode(const std::string& text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string lowercase(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::optional<std::int64_t> parseCount(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (INT64_MAX - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// "bytes first-last/total" (total may be "*").
struct ContentRange {
  std::int64_t first = 0;
  std::optional<std::int64_t> total;
};

std::optional<ContentRange> parseContentRange(const std::string& raw) {
  std::string text = trim(raw);
  if (lowercase(text.substr(0, 6)) != "bytes ") return std::nullopt;
  text = trim(text.substr(6));
  auto dash = text.find('-');
  auto slash = text.find('/');
  if (dash == std::string::npos || slash == std::string::npos || dash > slash) return std::nullopt;
  auto first = parseCount(trim(text.substr(0, dash)));
  if (!first) return std::nullopt;
  ContentRange range;
  range.first = *first;
  std::string total = trim(text.substr(slash + 1));
  if (total != "*") range.total = parseCount(total);
  return range;
}

// Brings `tap` to `base` bytes of the file, reading what it lacks back
// from the partial file. False when the tap refuses or the file is short.
bool catchUpTap(DownloadTap& tap, const std::string& partial, std::int64_t base) {
  if (tap.position() > base && !tap.rewind()) return false;
  std::int64_t at = tap.position();
  if (at == base) return true;
  int fd = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<unsigned char> buffer(std::size_t{256} << 10);
  bool ok = true;
  while (ok && at < base) {
    auto want = static_cast<std::size_t>(std::min<std::int64_t>(base - at, static_cast<std::int64_t>(buffer.size())));
    ssize_t n = ::pread(fd, buffer.data(), want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    ok = tap.write(buffer.data(), static_cast<std::size_t>(n));
    at += n;
  }
  ::close(fd);
  return ok;
}

// Where kept bytes came from: a source and its validators, from byte
// `from` up to the next span's start.
struct SourceSpan {
  std::string url;
  std::int64_t from = 0;
  std::string etag;
  std::string lastModified;
};

// The resume token: what was fetched, where the bytes are and what the
// server said about them. `url` and the validators name the source the
// last kept bytes came from (from byte `from` on); `earlier` lists the
// sources before it when the partial file was joined.
struct ResumeToken {
  std::string url;
  std::string partial;
  std::int64_t size = 0;
  std::string etag;
  std::string lastModified;
  std::int64_t from = 0;
  std::vector<SourceSpan> earlier;

  bool joined() const { return !earlier.empty(); }

  // If-Range needs a strong validator; a weak ETag cannot guard a range.
  std::optional<std::string> ifRange() const {
    if (!etag.empty() && etag.rfind("W/", 0) != 0) return etag;
    if (!lastModified.empty()) return lastModified;
    return std::nullopt;
  }

  std::string encode() const {
    nlohmann::json j = {{"v", 1},           {"url", url},   {"partial", partial},
                        {"size", size},     {"etag", etag}, {"lastModified", lastModified}};
    if (joined()) {
      j["from"] = from;
      auto& spans = j["earlier"] = nlohmann::json::array();
      for (const auto& span : earlier) {
        spans.push_back({{"url", span.url}, {"from", span.from}, {"etag", span.etag},
                         {"lastModified", span.lastModified}});
      }
    }
    return j.dump();
  }

  static std::optional<ResumeToken> decode(const std::string& data) {
    auto j = nlohmann::json::parse(data, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    try {
      // Integers only: converting a fraction out of range is undefined.
      const auto& version = j.at("v");
      const auto& size = j.at("size");
      if (!version.is_number_integer() || version.get<std::int64_t>() != 1) return std::nullopt;
      if (!size.is_number_integer()) return std::nullopt;
      ResumeToken t;
      t.url = j.at("url").get<std::string>();
      t.partial = j.at("partial").get<std::string>();
      t.size = size.get<std::int64_t>();
      if (t.size < 0) return std::nullopt;
      t.etag = j.at("etag").get<std::string>();
      t.lastModified = j.at("lastModified").get<std::string>();
      if (j.contains("earlier")) {
        t.from = j.at("from").get<std::int64_t>();
        for (const auto& span : j.at("earlier")) {
          t.earlier.push_back({span.at("url").get<std::string>(), span.at("from").get<std::int64_t>(),
                               span.at("etag").get<std::string>(),
                               span.at("lastModified").get<std::string>()});
        }
      }
      return t;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
};

// Whether an answer to a range request comes from the file the partial
// one was cut from: the validator If-Range named must come back unchanged.
bool sameValidator(const ResumeToken& token, const std::optional<std::string>& etag,
                   const std::optional<std::string>& modified) {
  auto guard = token.ifRange();
  if (!guard) return false;
  if (*guard == token.etag) return etag && trim(*etag) == *guard;
  return modified && trim(*modified) == *guard;
}

std::int64_t regularFileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

}  // namespace

void createPrivateDirectories(const std::filesystem::path& directory) {
  if (directory.empty()) return;
  std::error_code ec;
  if (std::filesystem::is_directory(directory, ec)) return;
  createPrivateDirectories(directory.parent_path());
  ::mkdir(directory.c_str(), 0700);  // a failure shows up when the file is opened
}

std::string description(const DownloadError& error) {
  struct Visitor {
    std::string operator()(const download_error::badStatus& e) const {
      return "HTTP " + std::to_string(e.status);
    }
    std::string operator()(const download_error::network& e) const { return e.message; }
    std::string operator()(const download_error::noSpaceNeeded& e) const {
      return "need " + formatByteCount(e.needed) + ", available " + formatByteCount(e.available);
    }
    std::string operator()(const download_error::cancelled&) const { return "cancelled"; }
    std::string operator()(const download_error::stopped&) const {
      return "stopped by the package's proof";
    }
  };
  return std::visit(Visitor{}, error);
}

std::string telemetryText(const DownloadError& error) {
  if (auto* e = std::get_if<download_error::network>(&error)) {
    if (!e->code || *e->code == platform::url_error::cancelled) return e->message;
    return networkErrorDescription(*e->code);
  }
  if (std::holds_alternative<download_error::noSpaceNeeded>(error)) {
    return "no space left on device";
  }
  return description(error);
}

std::optional<TransferProgress> TransferMeter::update(TimePoint now, std::int64_t received,
                                                      std::int64_t announced) {
  if (announced > 0) expected_ = announced;
  if (lastReported_ && now - *lastReported_ <= kReportInterval) return std::nullopt;
  lastReported_ = now;

  samples_.emplace_back(now, received);
  while (!samples_.empty() && now - samples_.front().first > kSpeedWindow) samples_.pop_front();

  TransferProgress progress;
  progress.received = received;
  progress.expected = expected_;
  if (samples_.size() < 2) return progress;
  auto [t0, b0] = samples_.front();
  auto elapsed = now - t0;
  if (elapsed <= kMinimumSpeedSpan) return progress;
  double seconds = std::chrono::duration<double>(elapsed).count();
  double speed = static_cast<double>(received - b0) / seconds;
  progress.bytesPerSecond = speed >= 0 ? speed : 0;
  if (speed > 0 && received < expected_) {
    progress.remaining = static_cast<double>(expected_ - received) / speed;
  }
  return progress;
}

struct Downloader::State {
  Options options;
  std::shared_ptr<platform::HttpCancelToken> cancelToken =
      std::make_shared<platform::HttpCancelToken>();
  std::atomic<bool> isCancelled{false};

  mutable std::mutex mu;  // guards the fields below
  std::optional<platform::URL> activeURL;
  std::filesystem::path destination;
  ProgressHandler progressHandler;
  Completion completion;
  std::optional<std::string> resumeData;
  std::optional<platform::URL> resumeDataURL;
  std::optional<PackageDigests> digests;

  // Transfer-thread only.
  TransferMeter meter;

  void setResumeData(std::optional<std::string> data) {
    std::lock_guard lock(mu);
    if (data && !data->empty()) {
      resumeData = std::move(data);
      resumeDataURL = activeURL;
    } else {
      resumeData.reset();
      resumeDataURL.reset();
    }
  }

  void reportProgress(std::int64_t received, std::int64_t announced) {
    auto progress = meter.update(options.clock(), received, announced);
    if (!progress) return;
    ProgressHandler handler;
    {
      std::lock_guard lock(mu);
      handler = progressHandler;
    }
    if (handler) handler(*progress);
  }

  void finish(const DownloadResult& result) {
    Completion done;
    {
      std::lock_guard lock(mu);
      if (!completion) return;
      done = std::move(completion);
      completion = nullptr;
      progressHandler = nullptr;
    }
    done(result);
  }

  void transfer(const platform::URL& url, std::optional<std::string> given);
};

void Downloader::State::transfer(const platform::URL& url, std::optional<std::string> given) {
  std::filesystem::path dest;
  {
    std::lock_guard lock(mu);
    dest = destination;
  }
  createPrivateDirectories(dest.parent_path());

  // Only a token for this URL whose partial file still has the size it
  // had when the token was made is worth resuming.
  ResumeToken token;
  token.url = url.absoluteString();
  token.partial = dest.string() + ".partial";
  std::int64_t offset = 0;
  // Continuing another source's bytes: no If-Range (its validator is the
  // other source's), and only for our own destination.
  bool crossSource = false;
  if (given && !given->empty()) {
    auto old = ResumeToken::decode(*given);
    const bool same = old && old->url == token.url;
    const bool usable = old && (same ? !old->joined() || options.joinSources
                                     : options.joinSources && old->partial == token.partial);
    if (usable && old->size > 0 && old->ifRange() && regularFileSize(old->partial) == old->size &&
        old->partial != dest.string()) {
      // The token keeps describing the other source's bytes until this
      // source has answered with the rest.
      token = *old;
      offset = old->size;
      crossSource = !same;
    }
  }
  std::error_code ec;
  if (offset == 0) {
    token.etag.clear();
    token.lastModified.clear();
    token.size = 0;
    std::filesystem::remove(token.partial, ec);
  }

  // The digests run on threads of their own; the partial file's bytes go
  // in first, read while the request goes out. Replacing or dropping the
  // pipeline joins its threads.
  std::unique_ptr<DigestPipeline> pipeline;
  auto freshPipeline = [&](std::int64_t prefix) {
    pipeline.reset();
    pipeline = std::make_unique<DigestPipeline>(options.digests);
    if (prefix > 0) pipeline->feedFilePrefix(token.partial, prefix);
  };
  freshPipeline(offset);

  // Per exchange: at most two, the second when the server no longer
  // vouches for the partial file.
  long status = 0;
  bool badStatus = false;
  bool restart = false;
  bool changed = false;
  bool gotResponse = false;
  int writeErrno = 0;
  bool tapStopped = false;
  std::optional<download_error::noSpaceNeeded> noSpace;
  std::int64_t base = 0;
  std::int64_t written = 0;
  std::int64_t announced = 0;
  std::int64_t allowed = 0;  // body bytes this answer may write
  bool sizeBound = false;    // `allowed` comes from the expected size
  std::int64_t volumeAvailable = 0;
  std::int64_t reserve = 0;
  int fd = -1;

  // The file may grow up to the expected size and never into the volume's
  // free-space reserve (the one unpacking keeps). `fileBytes` is the size
  // the file would reach.
  auto spaceFailure = [&](std::int64_t fileBytes) {
    if (sizeBound) return download_error::noSpaceNeeded{fileBytes, *options.expectedSize};
    return download_error::noSpaceNeeded{fileBytes - base + reserve, volumeAvailable};
  };
  // Measures the volume when an answer's head arrives; `freed` is what
  // truncating the partial file gives back. False (with `noSpace`) when
  // the announced length does not fit.
  auto admit = [&](std::int64_t freed) {
    allowed = INT64_MAX;
    sizeBound = false;
    if (auto space = options.volumeSpace(std::filesystem::path(token.partial).parent_path())) {
      auto clamp = [](std::uint64_t v) { return static_cast<std::int64_t>(std::min<std::uint64_t>(v, INT64_MAX / 4)); };
      reserve = clamp(helpers::extractionReserve(space->total));
      volumeAvailable = clamp(space->available);
      allowed = std::max<std::int64_t>(0, volumeAvailable + std::max<std::int64_t>(freed, 0) - reserve);
    }
    if (options.expectedSize && *options.expectedSize > 0 &&
        *options.expectedSize - base < allowed) {
      allowed = std::max<std::int64_t>(0, *options.expectedSize - base);
      sizeBound = true;
    }
    if (announced > 0 && announced - base > allowed) {
      noSpace = spaceFailure(announced);
      return false;
    }
    return true;
  };

  platform::HttpResult result;
  for (int exchange = 0; exchange < 2; ++exchange) {
    status = 0;
    badStatus = restart = changed = gotResponse = false;
    if (exchange > 0) freshPipeline(0);
    writeErrno = 0;
    noSpace.reset();
    base = written = announced = 0;
    allowed = INT64_MAX;

    platform::HttpRequest request;
    request.url = url.absoluteString();
    request.headers.emplace_back("Accept", "application/octet-stream");
    if (offset > 0) {
      request.headers.emplace_back("Range", "bytes=" + std::to_string(offset) + "-");
      if (!crossSource) request.headers.emplace_back("If-Range", *token.ifRange());
    }
    request.idleTimeout = options.idleTimeout;
    request.totalTimeout = options.totalTimeout;
    request.clock = options.clock;
    request.redirects = platform::RedirectPolicy::follow;
    request.caBundlePath = options.caBundlePath;
    request.cancel = cancelToken;

    request.onResponse = [&](long code, const platform::HttpHeaders& headers) {
      status = code;
      if (code < 200 || code > 299) {
        if (code == 416 && offset > 0) {
          restart = true;
        } else {
          badStatus = true;
        }
        return false;
      }
      std::optional<std::int64_t> length;
      if (auto cl = platform::headerValue(headers, "Content-Length")) length = parseCount(trim(*cl));
      auto etag = platform::headerValue(headers, "ETag");
      auto modified = platform::headerValue(headers, "Last-Modified");
      int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
      if (code == 206) {
        auto range = platform::headerValue(headers, "Content-Range");
        auto parsed = range ? parseContentRange(*range) : std::nullopt;
        if (!parsed || parsed->first != offset) {
          // Not the rest of our partial file: never splice it in.
          if (offset > 0) {
            restart = true;
          } else {
            badStatus = true;
          }
          return false;
        }
        if (offset > 0 && !crossSource && !sameValidator(token, etag, modified)) {
          // A cache that ignored If-Range: the rest of another file.
          restart = true;
          return false;
        }
        base = offset;
        if (parsed->total && *parsed->total > 0) {
          announced = *parsed->total;
        } else if (length && *length <= INT64_MAX - offset) {
          announced = offset + *length;
        }
      } else {
        if (offset > 0 && !crossSource && !options.restartWhenChanged &&
            !sameValidator(token, etag, modified)) {
          // Whole file instead of the rest: fine when the server merely
          // ignores ranges, not when it now serves another file.
          changed = true;
          return false;
        }
        base = 0;
        flags |= O_TRUNC;
        token.url = url.absoluteString();
        token.earlier.clear();
        token.from = 0;
        announced = length.value_or(0);
        if (offset > 0) freshPipeline(0);
      }
      if (!admit(code == 206 ? 0 : regularFileSize(token.partial))) return false;
      fd = ::open(token.partial.c_str(), flags, 0600);
      if (fd < 0 || ::fchmod(fd, 0600) != 0 || (base > 0 && ::lseek(fd, base, SEEK_SET) != base) ||
          (base > 0 && ::ftruncate(fd, base) != 0)) {
        writeErrno = errno;
        return false;
      }
      gotResponse = true;
      if (options.tap && !catchUpTap(*options.tap, token.partial, base)) {
        tapStopped = true;
        return false;
      }
      if (code == 206 && crossSource) {
        token.earlier.push_back({token.url, token.from, token.etag, token.lastModified});
        token.url = url.absoluteString();
        token.from = offset;
      }
      if (code != 206 || crossSource || etag || modified) {
        token.etag = etag ? trim(*etag) : "";
        token.lastModified = modified ? trim(*modified) : "";
      }
      return true;
    };
    request.onBody = [&](const char* data, std::size_t size) {
      if (static_cast<std::int64_t>(size) > allowed - written) {
        noSpace = spaceFailure(base + written + static_cast<std::int64_t>(size));
        return false;
      }
      const char* chunk = data;
      const std::size_t chunkSize = size;
      while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno == ENOSPC || errno == EDQUOT) {
            noSpace = spaceFailure(base + written + static_cast<std::int64_t>(size));
          } else {
            writeErrno = errno;
          }
          return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        written += n;
      }
      pipeline->update(chunk, chunkSize);
      if (options.tap &&
          !options.tap->write(reinterpret_cast<const unsigned char*>(chunk), chunkSize)) {
        tapStopped = true;
        return false;
      }
      reportProgress(base + written, announced);
      return true;
    };

    if (isCancelled.load()) {
      result = platform::HttpError{platform::url_error::cancelled, "cancelled", 0};
      break;
    }
    result = options.http->perform(request);
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
    if (!restart || isCancelled.load()) break;
    offset = 0;
    token.url = url.absoluteString();
    token.etag.clear();
    token.lastModified.clear();
    token.earlier.clear();
    token.from = 0;
    crossSource = false;
    std::filesystem::remove(token.partial, ec);
  }

  // No hashing thread outlives the attempt's outcome.
  auto end = [&](const DownloadResult& outcome) {
    pipeline.reset();
    finish(outcome);
  };
  auto keepResumeData = [&] {
    std::int64_t size = regularFileSize(token.partial);
    token.size = size;
    if (size > 0 && token.ifRange()) {
      setResumeData(token.encode());
    } else {
      std::filesystem::remove(token.partial, ec);
      setResumeData(std::nullopt);
    }
  };

  if (noSpace) {
    std::filesystem::remove(token.partial, ec);
    setResumeData(std::nullopt);
    end(DownloadError(*noSpace));
    return;
  }
  if (tapStopped) {
    keepResumeData();
    end(DownloadError(download_error::stopped{}));
    return;
  }
  if (changed) {
    if (options.keepWhenChanged) {
      keepResumeData();
    } else {
      std::filesystem::remove(token.partial, ec);
      setResumeData(std::nullopt);
    }
    end(DownloadError(download_error::network{"the file on the server has changed", std::nullopt}));
    return;
  }
  if (badStatus) {
    // Nothing of this answer was written; a partial file from before is
    // still what it was.
    if (offset > 0) {
      keepResumeData();
    } else {
      setResumeData(std::nullopt);
    }
    end(DownloadError(download_error::badStatus{status}));
    return;
  }
  if (auto* error = std::get_if<platform::HttpError>(&result)) {
    keepResumeData();
    if (writeErrno != 0) {
      end(DownloadError(download_error::network{std::strerror(writeErrno),
                                                platform::url_error::cannotWriteToFile}));
    } else if (isCancelled.load() || error->code == platform::url_error::cancelled) {
      end(DownloadError(download_error::cancelled{}));
    } else {
      end(DownloadError(download_error::network{error->message, error->code}));
    }
    return;
  }
  auto& response = std::get<platform::HttpResponse>(result);
  if (response.status < 200 || response.status > 299) {
    setResumeData(std::nullopt);
    end(DownloadError(download_error::badStatus{response.status}));
    return;
  }
  if (!gotResponse) {
    // The stack finished without handing us the answer's head.
    setResumeData(std::nullopt);
    end(DownloadError(download_error::network{"unknown", std::nullopt}));
    return;
  }
  if (announced > 0 && base + written != announced) {
    keepResumeData();
    end(DownloadError(download_error::network{"the connection ended before the whole file arrived",
                                              platform::url_error::networkConnectionLost}));
    return;
  }

  std::filesystem::remove(dest, ec);
  std::filesystem::rename(token.partial, dest, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(token.partial, ignored);
    setResumeData(std::nullopt);
    end(DownloadError(download_error::network{ec.message(), std::nullopt}));
    return;
  }
  setResumeData(std::nullopt);
  std::int64_t size = regularFileSize(dest.string());
  {
    // Every byte written went through the digests in file order, so they
    // describe the file exactly when the counts agree.
    auto computed = pipeline->finish();
    std::lock_guard lock(mu);
    if (computed && computed->size == size) digests = std::move(*computed);
  }
  if (size <= 0) size = meter.expected();
  if (size < 0) size = 0;
  end(DownloadedFile{dest, size});
}

Downloader::Downloader() : Downloader(Options{}) {}

Downloader::Downloader(Options options)
    : state_(std::make_shared<State>()),
      queue_(std::make_unique<platform::SerialQueue>("installer.downloader")) {
  if (!options.http) options.http = std::make_shared<platform::CurlHttpClient>();
  if (!options.clock) options.clock = [] { return std::chrono::steady_clock::now(); };
  if (!options.volumeSpace) options.volumeSpace = helpers::volumeSpace;
  state_->options = std::move(options);
}

Downloader::~Downloader() {
  cancel();
  if (queue_->isCurrent()) {
    // Destroyed from one of its own callbacks: the queue cannot join
    // itself, so let another thread wait for it.
    auto* queue = queue_.release();
    platform::dispatchGlobal(platform::QueuePriority::utility, [queue] { delete queue; });
  }
}

void Downloader::start(const platform::URL& url, const std::filesystem::path& destination,
                       std::optional<std::string> resumeData, ProgressHandler progress,
                       Completion completion) {
  {
    std::lock_guard lock(state_->mu);
    state_->destination = destination;
    state_->progressHandler = std::move(progress);
    state_->completion = std::move(completion);
    state_->activeURL = url;
    if (resumeData && !resumeData->empty()) {
      state_->resumeData = resumeData;
      state_->resumeDataURL = url;
    } else {
      state_->resumeData.reset();
      state_->resumeDataURL.reset();
    }
  }
  auto state = state_;
  queue_->async([state, url, resumeData = std::move(resumeData)]() mutable {
    state->transfer(url, std::move(resumeData));
  });
}

void Downloader::cancel() {
  state_->isCancelled.store(true);
  state_->cancelToken->cancel();
}

std::optional<std::string> Downloader::resumeData() const {
  std::lock_guard lock(state_->mu);
  return state_->resumeData;
}

std::optional<platform::URL> Downloader::resumeDataURL() const {
  std::lock_guard lock(state_->mu);
  return state_->resumeDataURL;
}

std::optional<PackageDigests> Downloader::digests() const {
  std::lock_guard lock(state_->mu);
  return state_->digests;
}

std::optional<std::filesystem::path> Downloader::partialFileOf(const std::string& resumeData) {
  auto token = ResumeToken::decode(resumeData);
  // Only ever a file we named: "<destination>.partial".
  if (!token || !token->partial.ends_with(".partial")) return std::nullopt;
  return std::filesystem::path(token->partial);
}

std::optional<Downloader::Tail> Downloader::fetchTail(const platform::URL& url, std::int64_t length,
                                                      const Options& options) {
  constexpr auto kTailLimit = std::chrono::seconds(3);
  auto http = options.http ? options.http : std::make_shared<platform::CurlHttpClient>();
  Tail tail;
  bool ranged = false;
  platform::HttpRequest request;
  request.url = url.absoluteString();
  request.headers.emplace_back("Range", "bytes=-" + std::to_string(length));
  request.idleTimeout = kTailLimit;
  request.totalTimeout = kTailLimit * 2;
  request.clock = options.clock;
  request.caBundlePath = options.caBundlePath;
  request.onResponse = [&](long status, const platform::HttpHeaders& headers) {
    auto range = status == 206 ? platform::headerValue(headers, "Content-Range") : std::nullopt;
    auto parsed = range ? parseContentRange(*range) : std::nullopt;
    ranged = parsed && parsed->total;
    if (ranged) tail.total = *parsed->total;
    return ranged;
  };
  request.onBody = [&](const char* data, std::size_t size) {
    if (static_cast<std::int64_t>(tail.bytes.size() + size) > length) return false;
    tail.bytes.append(data, size);
    return true;
  };
  auto result = http->perform(request);
  if (!ranged || !std::holds_alternative<platform::HttpResponse>(result) ||
      static_cast<std::int64_t>(tail.bytes.size()) > tail.total) {
    return std::nullopt;
  }
  return tail;
}

std::optional<std::string> Downloader::truncateResumeData(const std::string& resumeData,
                                                         std::int64_t size) {
  auto token = ResumeToken::decode(resumeData);
  if (!token || size < 0 || size > token->size || regularFileSize(token->partial) != token->size) {
    return std::nullopt;
  }
  if (::truncate(token->partial.c_str(), size) != 0) return std::nullopt;
  token->size = size;
  // The spans that start at or past the cut are gone with their bytes.
  while (token->from >= size && !token->earlier.empty() && size > 0) {
    const SourceSpan& last = token->earlier.back();
    token->url = last.url;
    token->from = last.from;
    token->etag = last.etag;
    token->lastModified = last.lastModified;
    token->earlier.pop_back();
  }
  return token->encode();
}

void Downloader::discardResumeData(const std::string& resumeData) {
  if (auto partial = partialFileOf(resumeData)) {
    std::error_code ignored;
    std::filesystem::remove(*partial, ignored);
  }
}

std::string Downloader::suggestedFileName(const platform::URL& url) {
  std::string path = url.path();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::string name;
  auto slash = path.rfind('/');
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  name = percentDecode(name);
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (name.empty()) return "installer-package.dmg";
  if (name == "." || name == "..") name = "installer-package";
  auto dot = name.rfind('.');
  if (dot != std::string::npos) {
    std::string ext = lowercase(name.substr(dot + 1));
    if (ext == "dmg" || ext == "pkg" || ext == "zip") return name;
  }
  return name + ".dmg";
}

}  // namespace installer
