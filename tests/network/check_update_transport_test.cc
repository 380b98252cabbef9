#include "network/check_update_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "support/loopback_https_server.h"

namespace installer {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackHttpsServer;

// Collects the one completion of a check and waits for it with a deadline.
class CompletionProbe {
 public:
  CheckUpdateCompletion completion() {
    return [this](CheckUpdateOutcome outcome) {
      std::lock_guard<std::mutex> hold(mu_);
      ++calls_;
      outcome_ = std::move(outcome);
      thread_ = std::this_thread::get_id();
      cv_.notify_all();
    };
  }
  std::optional<CheckUpdateOutcome> wait(std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> hold(mu_);
    cv_.wait_for(hold, limit, [&] { return calls_ > 0; });
    return outcome_;
  }
  int calls() {
    std::lock_guard<std::mutex> hold(mu_);
    return calls_;
  }
  std::thread::id thread() {
    std::lock_guard<std::mutex> hold(mu_);
    return thread_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int calls_ = 0;
  std::optional<CheckUpdateOutcome> outcome_;
  std::thread::id thread_;
};

struct Seen {
  std::string method, path, body, contentType, userAgent, ngrok;
};

CheckUpdateRequest sampleRequest() {
  return CheckUpdateRequest{"uid-1", "1.0.0", "macos", "14.2.1", "en", "demo", "x64"};
}

class TransportTest : public ::testing::Test {
 protected:
  void record(const httplib::Request& req) {
    std::lock_guard<std::mutex> hold(mu_);
    seen_.push_back({req.method, req.path, req.body, req.get_header_value("Content-Type"),
                     req.get_header_value("User-Agent"),
                     req.get_header_value("ngrok-skip-browser-warning")});
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> hold(mu_);
    return seen_;
  }
  CurlCheckUpdateTransport::Options trusting() {
    CurlCheckUpdateTransport::Options options;
    options.caBundlePath = server_.caBundlePath();
    return options;
  }
  platform::URL endpoint(const std::string& path) { return *platform::URL::parse(server_.url(path)); }

  LoopbackHttpsServer server_;
  std::mutex mu_;
  std::vector<Seen> seen_;
};

TEST_F(TransportTest, PostsCompactJsonWithTheThreeHeaderFields) {
  server_.http().Post("/check", [this](const httplib::Request& req, httplib::Response& res) {
    record(req);
    res.status = 418;  // any status is a result; judging it is not the transport's job
    res.set_content("teapot", "text/plain");
  });
  server_.start();
  ASSERT_NE(server_.port(), 0);

  CurlCheckUpdateTransport transport(trusting());
  CompletionProbe probe;
  transport.checkUpdate(sampleRequest(), endpoint("/check"), probe.completion());
  auto outcome = probe.wait();
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(std::holds_alternative<CheckUpdateHTTPResult>(*outcome));
  EXPECT_EQ(std::get<CheckUpdateHTTPResult>(*outcome), (CheckUpdateHTTPResult{"teapot", 418}));
  EXPECT_NE(probe.thread(), std::this_thread::get_id());

  auto requests = seen();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, *encodeCheckUpdateRequest(sampleRequest()));
  EXPECT_EQ(requests[0].contentType, "application/json");
  EXPECT_EQ(requests[0].userAgent, "Zelvox-AI-Installer");
  EXPECT_EQ(requests[0].ngrok, "1");
}

TEST_F(TransportTest, RedirectedPostKeepsMethodBodyAndHeaderFields) {
  server_.http().Post("/moved-307", [](const httplib::Request&, httplib::Response& res) {
    res.status = 307;
    res.set_header("Location", "/target");
  });
  server_.http().Post("/moved-302", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/target");
  });
  server_.http().Post("/target", [this](const httplib::Request& req, httplib::Response& res) {
    record(req);
    res.set_content(R"({"status":0})", "application/json");
  });
  server_.http().Get("/target", [this](const httplib::Request& req, httplib::Response& res) {
    record(req);  // a redirect that turned into GET lands here
    res.status = 405;
  });
  server_.start();
  ASSERT_NE(server_.port(), 0);

  CurlCheckUpdateTransport transport(trusting());
  for (const char* path : {"/moved-307", "/moved-302"}) {
    SCOPED_TRACE(path);
    CompletionProbe probe;
    transport.checkUpdate(sampleRequest(), endpoint(path), probe.completion());
    auto outcome = probe.wait();
    ASSERT_TRUE(outcome);
    ASSERT_TRUE(std::holds_alternative<CheckUpdateHTTPResult>(*outcome));
    EXPECT_EQ(std::get<CheckUpdateHTTPResult>(*outcome).statusCode, 200);
  }
  auto requests = seen();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/target");
    EXPECT_EQ(r.body, *encodeCheckUpdateRequest(sampleRequest()));
    EXPECT_EQ(r.contentType, "application/json");
    EXPECT_EQ(r.userAgent, "Zelvox-AI-Installer");
    EXPECT_EQ(r.ngrok, "1");
  }
}

TEST_F(TransportTest, SilentServerEndsTheCheckAtTheTotalLimit) {
  server_.http().Post("/silent", [this](const httplib::Request&, httplib::Response& res) {
    server_.waitUntilStopping(10s);
    res.status = 204;
  });
  server_.start();
  ASSERT_NE(server_.port(), 0);

  auto options = trusting();
  options.idleTimeout = 5s;
  options.totalTimeout = 300ms;
  CurlCheckUpdateTransport transport(options);
  CompletionProbe probe;
  auto started = std::chrono::steady_clock::now();
  transport.checkUpdate(sampleRequest(), endpoint("/silent"), probe.completion());
  auto outcome = probe.wait();
  auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(std::holds_alternative<CheckUpdateError>(*outcome));
  const auto* network = std::get<CheckUpdateError>(*outcome).as<check_update_error::network>();
  ASSERT_NE(network, nullptr);
  EXPECT_EQ(network->code, platform::url_error::timedOut);
  EXPECT_GE(elapsed, 300ms);
  EXPECT_LT(elapsed, 4s);
  server_.stop();
}

TEST_F(TransportTest, SilentServerEndsTheCheckAtTheIdleLimit) {
  server_.http().Post("/silent", [this](const httplib::Request&, httplib::Response& res) {
    server_.waitUntilStopping(10s);
    res.status = 204;
  });
  server_.start();
  ASSERT_NE(server_.port(), 0);

  auto options = trusting();
  options.idleTimeout = 250ms;
  options.totalTimeout = 20s;
  CurlCheckUpdateTransport transport(options);
  CompletionProbe probe;
  transport.checkUpdate(sampleRequest(), endpoint("/silent"), probe.completion());
  auto outcome = probe.wait(5s);
  ASSERT_TRUE(outcome);
  const auto* network = std::get<CheckUpdateError>(*outcome).as<check_update_error::network>();
  ASSERT_NE(network, nullptr);
  EXPECT_EQ(network->code, platform::url_error::timedOut);
  server_.stop();
}

TEST_F(TransportTest, AnAnswerThatTricklesInTookTooLong) {
  server_.http().Post("/trickle", [this](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/json", [this](size_t, httplib::DataSink& sink) {
      if (server_.waitUntilStopping(100ms)) return false;
      return sink.write(" ", 1);
    });
  });
  server_.start();
  ASSERT_NE(server_.port(), 0);

  auto options = trusting();
  options.idleTimeout = 1s;
  options.totalTimeout = 1500ms;
  CurlCheckUpdateTransport transport(options);
  CompletionProbe probe;
  transport.checkUpdate(sampleRequest(), endpoint("/trickle"), probe.completion());
  auto outcome = probe.wait();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(std::get<CheckUpdateError>(*outcome),
            CheckUpdateError(check_update_error::network{"the update server took too long to answer",
                                                         platform::url_error::timedOut}));
  server_.stop();
}

TEST_F(TransportTest, AnswersAreReadUpToOneMebibyte) {
  const std::size_t limit = 1024 * 1024;
  const std::string envelope = R"({"status":0,"data":{"app_url":"https://h/p.dmg"}})";
  auto padded = [&](std::size_t size) { return envelope + std::string(size - envelope.size(), ' '); };
  std::atomic<std::size_t> endlessSent{0};
  server_.http().Post("/exact", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(padded(limit), "application/json");
  });
  server_.http().Post("/over", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(padded(limit + 1), "application/json");
  });
  // No length announced, and no end: the client must stop reading.
  server_.http().Post("/endless", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/json", [&](size_t, httplib::DataSink& sink) {
      static const std::string block(64 * 1024, ' ');
      if (endlessSent.load() > 256u * limit) return false;
      if (!sink.write(block.data(), block.size())) return false;
      endlessSent += block.size();
      return true;
    });
  });
  server_.start();
  ASSERT_NE(server_.port(), 0);

  CurlCheckUpdateTransport transport(trusting());
  for (const char* path : {"/exact", "/over", "/endless"}) {
    SCOPED_TRACE(path);
    CompletionProbe probe;
    transport.checkUpdate(sampleRequest(), endpoint(path), probe.completion());
    auto outcome = probe.wait(20s);
    ASSERT_TRUE(outcome);
    if (std::string(path) == "/exact") {
      const auto& result = std::get<CheckUpdateHTTPResult>(*outcome);
      EXPECT_EQ(result.data.size(), limit);
      EXPECT_TRUE(std::holds_alternative<PackageLink>(parsePackageLink(result.data, result.statusCode)));
    } else {
      EXPECT_EQ(std::get<CheckUpdateError>(*outcome), CheckUpdateError(check_update_error::decode{}));
      EXPECT_EQ(std::get<CheckUpdateError>(*outcome).description(),
                "unexpected response from the update server");
    }
  }
  server_.stop();
  // What socket buffers took in before the client hung up, not the 256 MiB
  // the server was ready to send.
  EXPECT_LT(endlessSent.load(), 32 * limit);
}

TEST_F(TransportTest, UntrustedCertificateAndRefusedConnectionAreNetworkErrorsWithCodes) {
  server_.http().Post("/check", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  server_.start();
  ASSERT_NE(server_.port(), 0);

  // The system store does not know the test CA.
  CurlCheckUpdateTransport untrusting(CurlCheckUpdateTransport::Options{});
  CompletionProbe rejected;
  untrusting.checkUpdate(sampleRequest(), endpoint("/check"), rejected.completion());
  auto outcome = rejected.wait();
  ASSERT_TRUE(outcome);
  const auto* tls = std::get<CheckUpdateError>(*outcome).as<check_update_error::network>();
  ASSERT_NE(tls, nullptr);
  EXPECT_EQ(tls->code, platform::url_error::serverCertificateUntrusted);
  EXPECT_FALSE(tls->message.empty());

  int port = server_.port();
  server_.stop();
  CurlCheckUpdateTransport transport(trusting());
  CompletionProbe refused;
  transport.checkUpdate(sampleRequest(),
                        *platform::URL::parse("https://127.0.0.1:" + std::to_string(port) + "/"),
                        refused.completion());
  outcome = refused.wait();
  ASSERT_TRUE(outcome);
  const auto* closed = std::get<CheckUpdateError>(*outcome).as<check_update_error::network>();
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(closed->code, platform::url_error::cannotConnectToHost);
}

TEST(CurlCheckUpdateTransportTest, UnencodableRequestCompletesInlineWithoutSending) {
  // No server at all: nothing may be sent.
  CurlCheckUpdateTransport transport;
  CompletionProbe probe;
  auto request = sampleRequest();
  request.lang = "\xFF";
  transport.checkUpdate(request, *platform::URL::parse("https://127.0.0.1:9/"),
                        probe.completion());
  ASSERT_EQ(probe.calls(), 1);  // before checkUpdate returned
  EXPECT_EQ(probe.thread(), std::this_thread::get_id());
  auto outcome = probe.wait(0ms);
  EXPECT_EQ(std::get<CheckUpdateError>(*outcome),
            CheckUpdateError(check_update_error::network{"failed to encode request", std::nullopt}));
}

TEST(CurlCheckUpdateTransportTest, ProductLimitsAndRequestShape) {
  CurlCheckUpdateTransport transport;
  EXPECT_EQ(transport.options().idleTimeout, 15s);
  EXPECT_EQ(transport.options().totalTimeout, 25s);
  auto http = transport.makeHttpRequest("{}", *platform::URL::parse("https://h/check?x=1"));
  EXPECT_EQ(http.method, "POST");
  EXPECT_EQ(http.url, "https://h/check?x=1");  // exactly as configured
  EXPECT_EQ(http.redirects, platform::RedirectPolicy::followKeepingPost);
  ASSERT_EQ(http.headers.size(), 3u);
  EXPECT_EQ(http.headers[0], (std::pair<std::string, std::string>{"Content-Type", "application/json"}));
  EXPECT_EQ(http.headers[1].first, "User-Agent");
  EXPECT_EQ(http.headers[2].first, "ngrok-skip-browser-warning");
}

TEST(CheckUpdateOutcomeTest, ClientErrorsMapToNetworkErrors) {
  auto coded = checkUpdateOutcomeFrom(
      platform::HttpError{platform::url_error::notConnectedToInternet, "offline", 7});
  EXPECT_EQ(std::get<CheckUpdateError>(coded),
            CheckUpdateError(check_update_error::network{"offline", -1009}));
  // A failure the client could not place has no code.
  auto uncoded = checkUpdateOutcomeFrom(platform::HttpError{platform::url_error::unknown, "odd", 99});
  EXPECT_EQ(std::get<CheckUpdateError>(uncoded),
            CheckUpdateError(check_update_error::network{"odd", std::nullopt}));
  platform::HttpResponse response;
  response.status = 500;
  auto result = checkUpdateOutcomeFrom(response);
  EXPECT_EQ(std::get<CheckUpdateHTTPResult>(result), (CheckUpdateHTTPResult{"", 500}));
}

}  // namespace
}  // namespace installer
