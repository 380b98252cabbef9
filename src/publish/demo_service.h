// The local stand-in for the product's web services, served over HTTPS on
// the loopback interface with a CA of its own (made at start):
//
//   POST <checkUpdatePath>   the update check: answers from an in-memory
//                            answer, else from the answer file (read on each
//                            request, so it can be edited while running);
//                            "{{base_url}}" in the answer becomes the
//                            service's own https://host:port
//                            with a signing key, an answer whose app_url
//                            names one of its packages also gets that
//                            package's "sha256" and "signature" (unless it
//                            has them already)
//   GET/HEAD /packages/NAME  files below the package root, with ETag,
//                            Last-Modified, single byte ranges (Range,
//                            If-Range) and optional throttling
//   anything added with `handle` (carousel page, log service, test hooks)
//
// Start and stop from one thread; the query and answer operations are
// thread-safe. Requests are served on the server's own threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace installer::demo {

struct DemoServiceOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0 = any free port
  // Served under /packages/; empty = no packages.
  std::filesystem::path packageRoot;
  // The update-check answer (a JSON envelope), read per request.
  std::optional<std::filesystem::path> answerFile;
  // Package bodies are paced to this rate; 0 = full speed.
  std::int64_t throttleBytesPerSecond = 0;
  // Where ca.pem, server.pem and server-key.pem go and stay. Empty = a
  // private temporary directory removed when the service is destroyed.
  std::filesystem::path certificateDirectory;
  std::string checkUpdatePath = "/check-update";
  // Raw Ed25519 secret key (64 bytes) that signs the packages named in
  // update-check answers; absent = answers go out as written.
  std::optional<std::string> signingSecretKey;
};

// One request as the service saw it.
struct RecordedRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> headers;  // names as sent
  std::string body;

  // The first value of `name`, compared without case; "" when missing.
  std::string header(const std::string& name) const;
};

// An update-check answer: status and body ("{{base_url}}" is replaced).
struct CheckAnswer {
  int status = 200;
  std::string body;
};

class DemoService {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  explicit DemoService(DemoServiceOptions options);
  ~DemoService();  // stops
  DemoService(const DemoService&) = delete;
  DemoService& operator=(const DemoService&) = delete;

  // Extension point, before `start`: serve `pattern` (a regular
  // expression over the path) for `method` ("GET", "POST", "PUT",
  // "DELETE"; GET also answers HEAD). Added routes win over the built-in
  // ones.
  void handle(const std::string& method, const std::string& pattern, Handler handler);

  // Makes the certificates, binds and serves on a thread of its own.
  // False, with the reason in *error, when it cannot.
  bool start(std::string* error = nullptr);
  // Stops serving and joins the thread; idempotent. Handlers that block
  // must be released first.
  void stop();

  int port() const { return port_; }
  std::string baseURL() const;                    // "https://127.0.0.1:PORT"
  std::string url(const std::string& path) const;  // baseURL() + path
  std::string checkUpdateURL() const { return url(options_.checkUpdatePath); }
  std::filesystem::path caBundlePath() const { return certificateDirectory_ / "ca.pem"; }

  // The in-memory answer wins over the answer file; clearAnswer returns
  // to the file. Without either the check answers 503.
  void setAnswer(CheckAnswer answer);
  void clearAnswer();

  // Update-check requests received so far, in arrival order.
  std::vector<RecordedRequest> checkRequests() const;
  std::size_t checkRequestCount() const;

  // Package requests received so far, in arrival order (bodies empty).
  std::vector<RecordedRequest> packageRequests() const;

  // Package bytes written so far (all requests).
  std::int64_t packageBytesSent() const { return packageBytesSent_.load(); }

 private:
  void installRoutes();
  void answerCheck(const httplib::Request& request, httplib::Response& response);
  void servePackage(const httplib::Request& request, httplib::Response& response);
  // The answer with "sha256" and "signature" of the package it links to.
  std::string withPackageProof(const std::string& body);

  struct Route {
    std::string method;
    std::string pattern;
    Handler handler;
  };

  DemoServiceOptions options_;
  std::vector<Route> routes_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;
  std::filesystem::path certificateDirectory_;
  bool ownsCertificateDirectory_ = false;

  mutable std::mutex mu_;  // guards answer_, checks_, packages_ and proofs_
  std::optional<CheckAnswer> answer_;
  std::vector<RecordedRequest> checks_;
  std::vector<RecordedRequest> packages_;
  struct Proof {
    std::string stamp;  // size and modification time it was made for
    std::string sha256;
    std::string signature;
  };
  std::map<std::string, Proof> proofs_;  // by file path
  std::atomic<std::int64_t> packageBytesSent_{0};
};

// Command-line front end: parses --port N, --root DIR, --answer FILE,
// --throttle BYTES_PER_SEC, --ca-out DIR, --signing-key FILE (a key file of
// package_sign) and --help. Absent with a message in *error on a bad
// argument.
std::optional<DemoServiceOptions> parseDemoArguments(const std::vector<std::string>& arguments,
                                                     std::string* error);

}  // namespace installer::demo
