#include "telemetry/network_probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "platform/url.h"
#include "support/loopback_https_server.h"

namespace installer {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackHttpsServer;

// A loopback port with nothing listening on it.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

class NetworkProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.http().Get("/missing.*", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(mu_);
      methods_.push_back(req.method);
      userAgents_.push_back(req.get_header_value("User-Agent"));
      res.status = 404;
    });
    server_.http().Get("/hang", [this](const httplib::Request&, httplib::Response& res) {
      server_.waitUntilStopping(10s);
      res.status = 200;
    });
    server_.start();
    ASSERT_NE(server_.port(), 0);
  }

  // Requests that get an answer finish long before the limit; only the
  // hanging one waits for it.
  NetworkProbeOptions options(std::vector<std::string> addresses,
                              std::chrono::milliseconds limit = 5s) {
    NetworkProbeOptions o;
    o.addresses = std::move(addresses);
    o.limit = limit;
    o.caBundlePath = server_.caBundlePath();
    return o;
  }

  LoopbackHttpsServer server_;
  platform::CurlHttpClient client_;
  std::mutex mu_;
  std::vector<std::string> methods_;
  std::vector<std::string> userAgents_;
};

TEST_F(NetworkProbeTest, EveryAnswerCountsAsSuccessEvenNotFound) {
  auto o = options({server_.url("/missing1"), server_.url("/missing2"), server_.url("/missing3")});
  auto results = runNetworkProbe(o, client_);
  ASSERT_EQ(results.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(results[i], (NetworkProbeResult{o.addresses[i], "success", 0, "No error"}));
  }
  std::lock_guard<std::mutex> lock(mu_);
  EXPECT_EQ(methods_, (std::vector<std::string>{"HEAD", "HEAD", "HEAD"}));
  for (const auto& ua : userAgents_) EXPECT_EQ(ua, kProbeUserAgent);
}

TEST_F(NetworkProbeTest, FailuresAreRecordedInProbeOrder) {
  const std::string refused = "https://127.0.0.1:" + std::to_string(closedPort()) + "/";
  // The hanging address comes first and finishes last. Its limit is also
  // the healthy request's: long enough for a handshake on a machine whose
  // two cores run ten sanitized tests at once.
  auto o = options({server_.url("/hang"), refused, "not a url", server_.url("/missing")}, 10s);
  auto results = runNetworkProbe(o, client_);
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results[0], (NetworkProbeResult{o.addresses[0], "failed", -1001, "timed out"}));
  EXPECT_EQ(results[1], (NetworkProbeResult{refused, "failed", -1004, "cannot connect to host"}));
  EXPECT_EQ(results[2], (NetworkProbeResult{"not a url", "failed", -1, "bad url"}));
  EXPECT_EQ(results[3], (NetworkProbeResult{o.addresses[3], "success", 0, "No error"}));
}

TEST_F(NetworkProbeTest, UntrustedCertificateIsRejected) {
  auto o = options({server_.url("/missing")});
  o.caBundlePath.reset();  // the system store does not know the test CA
  auto results = runNetworkProbe(o, client_);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].result, "failed");
  EXPECT_EQ(results[0].errnoValue, -1202);
  EXPECT_EQ(results[0].error, "server certificate rejected");
}

// Answers from a script, for outcomes a real server cannot easily produce.
class ScriptedClient : public platform::HttpClient {
 public:
  platform::HttpResult perform(const platform::HttpRequest& request) override {
    {
      std::lock_guard<std::mutex> lock(mu);
      requests.push_back(request);
    }
    if (request.url == "https://unknown/") return platform::HttpError{-1, "odd", 99};
    if (request.url == "https://tls/") return platform::HttpError{-1200, "handshake", 35};
    if (request.url == "https://other/") return platform::HttpError{-1100, "x", 0};
    if (request.url == "https://silent/") return platform::HttpResponse{};
    platform::HttpResponse ok;
    ok.status = 500;
    return ok;
  }
  std::mutex mu;
  std::vector<platform::HttpRequest> requests;
};

TEST(NetworkProbeOutcomeTest, ErrorKindsMapToRecords) {
  ScriptedClient client;
  auto results = runNetworkProbe({"https://unknown/", "https://tls/", "https://other/",
                                  "https://silent/", "https://error500/", "https://bad host/"},
                                 client);
  std::vector<NetworkProbeResult> expected = {
      {"https://unknown/", "failed", -1, "request failed"},
      {"https://tls/", "failed", -1200, "secure connection failed"},
      {"https://other/", "failed", -1100, "network error -1100"},
      {"https://silent/", "failed", -1, "no response"},
      {"https://error500/", "success", 0, "No error"},
      {"https://bad host/", "failed", -1, "bad url"},
  };
  EXPECT_EQ(results, expected);

  ASSERT_EQ(client.requests.size(), 5u);  // the bad address is never requested
  for (const auto& r : client.requests) {
    EXPECT_EQ(r.method, "HEAD");
    EXPECT_EQ(r.idleTimeout, 5s);  // the product's limit
    EXPECT_EQ(r.totalTimeout, 5s);
    EXPECT_EQ(platform::headerValue(r.headers, "user-agent"), kProbeUserAgent);
  }
}

TEST(NetworkProbeOutcomeTest, ProductAddressesAreThreeFixedHttpsSites) {
  const auto& addresses = defaultProbeAddresses();
  ASSERT_EQ(addresses.size(), 3u);
  for (const auto& a : addresses) {
    auto url = platform::URL::parse(a);
    ASSERT_TRUE(url) << a;
    EXPECT_EQ(url->scheme(), "https");
    EXPECT_FALSE(url->host().empty());
  }
  EXPECT_EQ(NetworkProbeOptions().addresses, addresses);
}

TEST(NetworkProbeOutcomeTest, StartReportsOnceInTheBackground) {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::pair<std::string, std::string>> events;
  Reporter reporter([&](const std::string& name, const std::string& attributes) {
    std::lock_guard<std::mutex> lock(mu);
    events.emplace_back(name, attributes);
    cv.notify_all();
  });
  auto client = std::make_shared<ScriptedClient>();
  NetworkProbeOptions o;
  o.addresses = {"https://silent/", "https://error500/"};
  startNetworkProbe(reporter, o, client);

  std::unique_lock<std::mutex> lock(mu);
  ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return !events.empty(); }));
  EXPECT_EQ(events[0].first, "downloaderNetworkInfo");
  EXPECT_EQ(events[0].second,
            R"({"msg":[{"errno":-1,"error":"no response","result":"failed","url":"https://silent/"},)"
            R"({"errno":0,"error":"No error","result":"success","url":"https://error500/"}]})");
}

}  // namespace
}  // namespace installer
