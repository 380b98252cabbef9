#include "support/loopback_connect_proxy.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>

namespace installer::testing {

namespace {

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The loopback address a target host stands for; absent for anything else.
std::optional<sockaddr_storage> loopbackAddress(std::string host, int port) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  if (host == "localhost" || (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0)) {
    host = "127.0.0.1";
  }
  sockaddr_storage storage{};
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127) {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_addr = v4;
    a->sin_port = htons(static_cast<uint16_t>(port));
    return storage;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6)) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_addr = v6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    return storage;
  }
  return std::nullopt;
}

// "host:port" -> host and port (`defaultPort` when none is given).
std::pair<std::string, int> splitAuthority(const std::string& authority, int defaultPort) {
  std::string::size_type colon = authority.rfind(':');
  std::string::size_type bracket = authority.rfind(']');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
    return {authority, defaultPort};
  }
  return {authority.substr(0, colon), std::atoi(authority.c_str() + colon + 1)};
}

void relay(int a, int b) {
  char buffer[16384];
  pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) return;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0 || !sendAll(fds[1 - i].fd, buffer, static_cast<std::size_t>(n))) return;
    }
  }
}

}  // namespace

LoopbackConnectProxy::LoopbackConnectProxy() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("test proxy: cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackConnectProxy::~LoopbackConnectProxy() { stop(); }

void LoopbackConnectProxy::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    stopping_ = true;
    for (int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
  }
  ::shutdown(listener_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : connections_) t.join();  // no new ones once the acceptor is gone
  ::close(listener_);
}

void LoopbackConnectProxy::acceptLoop() {
  for (;;) {
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard<std::mutex> lock(mu_);
    if (client < 0 || stopping_) {
      if (client >= 0) ::close(client);
      return;
    }
    sockets_.push_back(client);
    connections_.emplace_back([this, client] { serve(client); });
  }
}

void LoopbackConnectProxy::serve(int client) {
  int upstream = -1;
  auto forget = [this](int fd) {
    std::lock_guard<std::mutex> lock(mu_);
    sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), fd), sockets_.end());
    ::close(fd);
  };
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  std::string::size_type end = head.find("\r\n\r\n");
  std::string::size_type lineEnd = head.find("\r\n");
  if (end != std::string::npos) {
    std::string line = head.substr(0, lineEnd);
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(line);
    }
    changed_.notify_all();
    std::string method = line.substr(0, line.find(' '));
    std::string target = line.substr(method.size() + 1, line.rfind(' ') - method.size() - 1);
    bool connect = method == "CONNECT";
    std::string authority = target;
    std::string rest = head.substr(end + 4);
    std::string forwardHead;
    if (!connect) {
      // "http://host:port/path" -> origin form for the target.
      std::string::size_type scheme = target.find("://");
      std::string::size_type slash = scheme == std::string::npos ? std::string::npos : target.find('/', scheme + 3);
      authority = scheme == std::string::npos ? "" : target.substr(scheme + 3, slash - scheme - 3);
      std::string path = slash == std::string::npos ? "/" : target.substr(slash);
      forwardHead = method + " " + path + line.substr(line.rfind(' ')) + head.substr(lineEnd, end + 4 - lineEnd);
    }
    auto [host, port] = splitAuthority(authority, connect ? 443 : 80);
    auto address = loopbackAddress(host, port);
    if (address) {
      upstream = ::socket(address->ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (upstream >= 0 && ::connect(upstream, reinterpret_cast<sockaddr*>(&*address), sizeof *address) != 0) {
        ::close(upstream);
        upstream = -1;
      }
    } else {
      std::lock_guard<std::mutex> lock(mu_);
      ++refused_;
    }
    if (upstream < 0) {
      static const char kForbidden[] = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      sendAll(client, kForbidden, sizeof kForbidden - 1);
    } else {
      {
        std::lock_guard<std::mutex> lock(mu_);
        sockets_.push_back(upstream);
        if (stopping_) ::shutdown(upstream, SHUT_RDWR);
      }
      static const char kEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";
      bool ok = connect ? sendAll(client, kEstablished, sizeof kEstablished - 1)
                        : sendAll(upstream, forwardHead.data(), forwardHead.size());
      if (ok && sendAll(upstream, rest.data(), rest.size())) relay(client, upstream);
      forget(upstream);
    }
  }
  forget(client);
}

std::vector<std::string> LoopbackConnectProxy::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

int LoopbackConnectProxy::refused() const {
  std::lock_guard<std::mutex> lock(mu_);
  return refused_;
}

bool LoopbackConnectProxy::waitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

}  // namespace installer::testing
