// An HTTP proxy for tests, on 127.0.0.1: tunnels CONNECT requests and
// forwards absolute-form requests ("POST http://host:port/path"), but only
// to loopback targets (127.0.0.0/8, ::1, localhost and *.localhost); every
// other target gets "403 Forbidden" and is never contacted.
//
// Each connection is served on a thread of its own; stop() (also run by the
// destructor) closes every socket and joins them. The records may be read
// from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace installer::testing {

class LoopbackConnectProxy {
 public:
  // Listens at once; throws std::runtime_error when it cannot.
  LoopbackConnectProxy();
  ~LoopbackConnectProxy();
  LoopbackConnectProxy(const LoopbackConnectProxy&) = delete;
  LoopbackConnectProxy& operator=(const LoopbackConnectProxy&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // The request lines received, in order ("CONNECT 127.0.0.2:443 HTTP/1.1").
  std::vector<std::string> requests() const;
  // Targets refused for not being loopback.
  int refused() const;
  // Waits until `count` requests have arrived or `limit` has passed.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds limit) const;

  void stop();

 private:
  void acceptLoop();
  void serve(int client);

  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<int> sockets_;  // open connection sockets, to close on stop
  std::vector<std::thread> connections_;
  std::vector<std::string> requests_;
  int refused_ = 0;
};

}  // namespace installer::testing
