// A loopback HTTPS file server for download tests and benchmarks, built on
// LoopbackHttpsServer. Serves files from memory or disk with or without a
// Content-Length, honours or ignores "Range" (with "If-Range" against the
// file's ETag or Last-Modified, or ignoring it), redirects, endless bodies, answers fixed statuses, stalls,
// throttles and drops the connection after a number of body bytes. Every
// request is recorded so tests can assert what the client sent.
//
// Files, redirects and statuses may be changed while the server runs (from
// the test's thread); requests are served on the server's worker threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback_https_server.h"

namespace installer::testing {

struct ServedFile {
  std::string content;   // the body, unless `diskPath` is set
  std::string diskPath;  // serve this file's bytes instead (large files)
  std::string etag;      // sent as ETag when not empty
  std::string lastModified;  // sent as Last-Modified when not empty
  bool sendLength = true;    // false: chunked, no Content-Length
  bool honourRange = true;   // false: every answer is a whole 200
  // Close the connection after this many body bytes of one answer.
  std::optional<std::int64_t> dropAfter;
  // Faults of successive answers, one entry each, taken in order: after
  // that many body bytes the answer is cut (or, with `faultsStall`, sends
  // nothing more until the server stops). Answers past the list are whole.
  std::vector<std::int64_t> faults = {};
  bool faultsStall = false;
  // Send the head, then no byte until the server stops.
  bool stall = false;
  // Send this many body bytes of one answer, then none until the server
  // stops.
  std::optional<std::int64_t> stallAfter = std::nullopt;
  // Pace the body at about this many bytes per second (0 = no limit).
  std::int64_t bytesPerSecond = 0;
  // Only for answers to a Range request: claim this start in Content-Range
  // (a server that lies about the range).
  std::optional<std::int64_t> rangeStartOverride;
  // false: a Range request gets the rest of the current file, whatever
  // If-Range names (a cache that ignores it).
  bool honourIfRange = true;
  // The content again and again, chunked, until the client goes away.
  bool endless = false;
};

struct RecordedRequest {
  std::string path;
  std::string range;    // "" when absent
  std::string ifRange;  // "" when absent
  std::string accept;
};

class LoopbackFileServer {
 public:
  LoopbackFileServer();
  ~LoopbackFileServer();

  void start();
  void stop() { server_.stop(); }

  void setFile(const std::string& path, ServedFile file);
  void setRedirect(const std::string& path, const std::string& target);
  void setStatus(const std::string& path, int status);

  // Called on a worker thread as an answer begins to stall.
  void setOnStall(std::function<void()> stalling);

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requestsFor(const std::string& path) const;
  // Body bytes sent so far over all answers.
  std::int64_t bytesSent() const { return bytesSent_.load(); }

  std::string url(const std::string& path) const { return server_.url(path); }
  std::string caBundlePath() const { return server_.caBundlePath(); }
  LoopbackHttpsServer& server() { return server_; }

 private:
  void handle(const httplib::Request& req, httplib::Response& res);
  // Holds a stalled answer until the server stops.
  void holdStalled();

  LoopbackHttpsServer server_;
  mutable std::mutex mu_;
  std::map<std::string, ServedFile> files_;
  std::map<std::string, std::string> redirects_;
  std::map<std::string, int> statuses_;
  std::vector<RecordedRequest> requests_;
  std::function<void()> onStall_;
  std::atomic<std::int64_t> bytesSent_{0};
};

}  // namespace installer::testing
