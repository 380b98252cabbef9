// A real HTTPS server on the loopback interface for tests.
//
// Each server makes its own throwaway certificate authority and a server
// certificate signed by it (EC P-256, valid for one day) in a private
// temporary directory. The certificate's subject alternative names list
// 127.0.0.1, 127.0.0.2, ::1, "localhost" and every extra host name given, so a client
// that trusts caBundlePath() accepts the server under any of them. A client
// that does not trust that file (for example one using the system store)
// rejects the server, which is how tests cover untrusted certificates.
//
// Usage:
//   LoopbackHttpsServer server;
//   server.http().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
//     res.set_content("hi", "text/plain");
//   });
//   server.start();                         // binds 127.0.0.1:<ephemeral>
//   request.url = server.url("/hello");     // "https://127.0.0.1:<port>/hello"
//   request.caBundlePath = server.caBundlePath();
//
// Register every handler before start(): httplib's handler tables are not
// guarded against concurrent change. Handlers run on the server's worker
// threads. A handler that must stall (to provoke a client timeout) should
// wait with waitUntilStopping(limit) rather than sleep, so that stop() and
// the destructor finish promptly. stop() is idempotent; the destructor stops
// the server and removes the certificate directory.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace installer::testing {

class LoopbackHttpsServer {
 public:
  // `extraHostNames` are added to the certificate's names, e.g.
  // {"update.localhost"} (curl resolves *.localhost to loopback).
  explicit LoopbackHttpsServer(std::vector<std::string> extraHostNames = {});
  ~LoopbackHttpsServer();
  LoopbackHttpsServer(const LoopbackHttpsServer&) = delete;
  LoopbackHttpsServer& operator=(const LoopbackHttpsServer&) = delete;

  // The underlying server, for registering handlers (Get, Post, ...) and
  // settings (timeouts, thread count) before start().
  httplib::SSLServer& http() { return *server_; }

  // Binds to `address` (a loopback address among the certificate's names;
  // 127.0.0.2 is one) on an ephemeral port and serves on a background
  // thread; returns once the server accepts connections. When binding
  // fails, port() stays 0 (check it with ASSERT_NE). The constructor throws
  // std::runtime_error when the certificates cannot be made.
  void start(const std::string& address = "127.0.0.1");
  // Stops serving, wakes handlers waiting in waitUntilStopping() and joins
  // the serving thread.
  void stop();

  // Handler helper: blocks until stop() begins or `limit` passes. Returns
  // true when stopping.
  bool waitUntilStopping(std::chrono::milliseconds limit);

  int port() const { return port_; }
  // "https://<address>:<port><path>"; `path` should start with "/".
  std::string url(const std::string& path) const;
  // "https://<host>:<port><path>", for a host among the certificate's names.
  std::string urlWithHost(const std::string& host, const std::string& path) const;
  // The PEM file holding the test CA certificate: give it to the client.
  std::string caBundlePath() const { return (dir_ / "ca.pem").string(); }
  // The server's certificate and key (PEM), for servers of other kinds.
  std::string certificatePath() const { return (dir_ / "server.pem").string(); }
  std::string privateKeyPath() const { return (dir_ / "server.key").string(); }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;
  std::string address_ = "127.0.0.1";
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  bool started_ = false;
};

// Writes a fresh CA (ca.pem, ca.key) and a server certificate for
// `hostNames` (DNS names or IP literals) signed by it (server.pem,
// server.key) into `dir`. Returns false on failure.
bool makeTestCertificates(const std::filesystem::path& dir,
                          const std::vector<std::string>& hostNames);

}  // namespace installer::testing
