#include "support/loopback_file_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace installer::testing {
namespace {

constexpr std::size_t kChunk = 256 * 1024;

std::optional<std::int64_t> rangeStart(const std::string& header) {
  // Only "bytes=N-" is needed here.
  if (header.rfind("bytes=", 0) != 0) return std::nullopt;
  auto dash = header.find('-', 6);
  if (dash == std::string::npos || dash == 6) return std::nullopt;
  try {
    return std::stoll(header.substr(6, dash - 6));
  } catch (...) {
    return std::nullopt;
  }
}

// The bytes of a served file, from memory or from disk.
struct Source {
  std::string memory;
  int fd = -1;
  std::int64_t size = 0;
  ~Source() {
    if (fd >= 0) ::close(fd);
  }
  bool read(std::int64_t offset, std::size_t length, std::string& out) const {
    out.resize(length);
    if (fd < 0) {
      out.assign(memory, static_cast<std::size_t>(offset), length);
      return true;
    }
    std::size_t done = 0;
    while (done < length) {
      ssize_t n = ::pread(fd, out.data() + done, length - done, offset + static_cast<std::int64_t>(done));
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
};

}  // namespace

LoopbackFileServer::LoopbackFileServer() {
  server_.http().Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
    handle(req, res);
  });
}

LoopbackFileServer::~LoopbackFileServer() { server_.stop(); }

void LoopbackFileServer::start() { server_.start(); }

void LoopbackFileServer::setFile(const std::string& path, ServedFile file) {
  std::lock_guard lock(mu_);
  files_[path] = std::move(file);
}

void LoopbackFileServer::setRedirect(const std::string& path, const std::string& target) {
  std::lock_guard lock(mu_);
  redirects_[path] = target;
}

void LoopbackFileServer::setStatus(const std::string& path, int status) {
  std::lock_guard lock(mu_);
  statuses_[path] = status;
}

void LoopbackFileServer::setOnStall(std::function<void()> stalling) {
  std::lock_guard lock(mu_);
  onStall_ = std::move(stalling);
}

void LoopbackFileServer::holdStalled() {
  std::function<void()> stalling;
  {
    std::lock_guard lock(mu_);
    stalling = onStall_;
  }
  if (stalling) stalling();
  server_.waitUntilStopping(std::chrono::minutes(5));
}

std::vector<RecordedRequest> LoopbackFileServer::requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

std::vector<RecordedRequest> LoopbackFileServer::requestsFor(const std::string& path) const {
  std::vector<RecordedRequest> out;
  for (auto& r : requests()) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

void LoopbackFileServer::handle(const httplib::Request& req, httplib::Response& res) {
  // httplib would apply the Range itself; this server decides on its own.
  const_cast<httplib::Request&>(req).ranges.clear();

  ServedFile file;
  {
    std::lock_guard lock(mu_);
    requests_.push_back({req.path, req.get_header_value("Range"), req.get_header_value("If-Range"),
                         req.get_header_value("Accept")});
    if (auto r = redirects_.find(req.path); r != redirects_.end()) {
      res.status = 302;
      res.set_header("Location", r->second);
      return;
    }
    if (auto s = statuses_.find(req.path); s != statuses_.end()) {
      res.status = s->second;
      res.set_content("status " + std::to_string(s->second), "text/plain");
      return;
    }
    auto f = files_.find(req.path);
    if (f == files_.end()) {
      res.status = 404;
      res.set_content("not found", "text/plain");
      return;
    }
    file = f->second;
    if (!f->second.faults.empty()) {
      std::int64_t at = f->second.faults.front();
      f->second.faults.erase(f->second.faults.begin());
      if (file.faultsStall) {
        file.stallAfter = at;
      } else {
        file.dropAfter = at;
      }
    }
  }

  auto source = std::make_shared<Source>();
  if (!file.diskPath.empty()) {
    source->fd = ::open(file.diskPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (source->fd < 0) {
      res.status = 500;
      return;
    }
    source->size = ::lseek(source->fd, 0, SEEK_END);
  } else {
    source->memory = file.content;
    source->size = static_cast<std::int64_t>(file.content.size());
  }

  std::int64_t start = 0;
  res.status = 200;
  if (auto requested = rangeStart(req.get_header_value("Range")); requested && file.honourRange) {
    std::string guard = req.get_header_value("If-Range");
    bool current = guard.empty() || !file.honourIfRange || (!file.etag.empty() && guard == file.etag) ||
                   (!file.lastModified.empty() && guard == file.lastModified);
    if (current) {
      if (*requested >= source->size) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(source->size));
        return;
      }
      start = *requested;
      res.status = 206;
      std::int64_t claimed = file.rangeStartOverride.value_or(start);
      res.set_header("Content-Range", "bytes " + std::to_string(claimed) + "-" +
                                          std::to_string(source->size - 1) + "/" +
                                          std::to_string(source->size));
    }
  }
  if (!file.etag.empty()) res.set_header("ETag", file.etag);
  if (!file.lastModified.empty()) res.set_header("Last-Modified", file.lastModified);

  const std::int64_t length = source->size - start;
  auto sent = std::make_shared<std::int64_t>(0);
  auto provide = [this, file, source, start, length, sent](std::size_t offset,
                                                          httplib::DataSink& sink) -> bool {
    if (file.stall) {
      holdStalled();
      return false;
    }
    if (file.endless && length > 0) {
      std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(
          static_cast<std::int64_t>(kChunk), length - static_cast<std::int64_t>(offset) % length));
      std::string chunk;
      if (!source->read(static_cast<std::int64_t>(offset) % length, n, chunk)) return false;
      if (!sink.write(chunk.data(), chunk.size())) return false;
      bytesSent_ += static_cast<std::int64_t>(n);
      return true;
    }
    if (static_cast<std::int64_t>(offset) >= length) {
      sink.done();
      return true;
    }
    std::size_t n = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(kChunk), length - static_cast<std::int64_t>(offset)));
    if (file.bytesPerSecond > 0) {
      n = std::min<std::size_t>(n, static_cast<std::size_t>(std::max<std::int64_t>(1, file.bytesPerSecond / 20)));
    }
    if (file.stallAfter && *sent >= *file.stallAfter) {
      holdStalled();
      return false;
    }
    if (file.stallAfter) {
      n = std::min<std::size_t>(n, static_cast<std::size_t>(*file.stallAfter - *sent));
    }
    if (file.dropAfter) {
      std::int64_t left = *file.dropAfter - *sent;
      if (left <= 0) return false;  // closes the connection
      n = std::min<std::size_t>(n, static_cast<std::size_t>(left));
    }
    std::string chunk;
    if (!source->read(start + static_cast<std::int64_t>(offset), n, chunk)) return false;
    if (!sink.write(chunk.data(), chunk.size())) return false;
    *sent += static_cast<std::int64_t>(n);
    bytesSent_ += static_cast<std::int64_t>(n);
    if (file.bytesPerSecond > 0) {
      auto pause = std::chrono::milliseconds(static_cast<std::int64_t>(n) * 1000 / file.bytesPerSecond);
      if (server_.waitUntilStopping(pause)) return false;
    }
    return true;
  };
  if (length == 0 && !file.endless && !file.stall) {
    // httplib waits for a provider of zero bytes that it never calls.
    res.set_content("", "application/octet-stream");
  } else if (file.sendLength && !file.endless) {
    res.set_content_provider(static_cast<std::size_t>(length), "application/octet-stream",
                             [provide](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               return provide(offset, sink);
                             });
  } else {
    res.set_chunked_content_provider("application/octet-stream",
                                     [provide](std::size_t offset, httplib::DataSink& sink) {
                                       return provide(offset, sink);
                                     });
  }
}

}  // namespace installer::testing
