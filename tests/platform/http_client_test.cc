#include "platform/http_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "support/loopback_https_server.h"

namespace installer::platform {
namespace {

using namespace std::chrono_literals;
using installer::testing::LoopbackHttpsServer;

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Loopback never uses a proxy, but the unknown-host case would.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      ::unsetenv(name);
    }
  }

  HttpRequest request(const std::string& path) {
    HttpRequest r;
    r.url = server.url(path);
    r.caBundlePath = server.caBundlePath();
    r.idleTimeout = 10s;
    return r;
  }

  static HttpResponse ok(const HttpResult& result) {
    if (const auto* error = std::get_if<HttpError>(&result)) {
      ADD_FAILURE() << "error " << error->code << ": " << error->message;
      return HttpResponse{};
    }
    return std::get<HttpResponse>(result);
  }

  static int errorCode(const HttpResult& result) {
    if (const auto* error = std::get_if<HttpError>(&result)) return error->code;
    return 0;
  }

  // The desktop's proxy lookup has tests of its own; here the environment
  // decides, so a lookup on GLib's worker pool never runs under the
  // thread sanitizer, which cannot see GLib's futex hand-over.
  struct EnvironmentProxies final : ProxyResolver {
    ProxyChoice proxyFor(const std::string&) const override { return {}; }
  };

  LoopbackHttpsServer server;
  CurlHttpClient client{std::make_shared<EnvironmentProxies>()};
};

// Records what the redirect target saw.
struct SeenRequest {
  std::mutex mu;
  std::string method, body, header, contentType;
};

TEST_F(HttpClientTest, ReturnsStatusBodyAndHeadersOfTheFinalResponse) {
  server.http().Get("/hello", [](const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Reply", "yes");
    res.set_header("X-Echo", req.get_header_value("X-Ask"));
    res.status = 201;
    res.set_content("hello body", "text/plain");
  });
  server.http().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("X-Only-On-Redirect", "1");
    res.set_redirect("/hello", 302);
  });
  server.http().Get("/loop", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/loop", 302);
  });
  server.http().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("nope", "text/plain");
  });
  server.start();
  ASSERT_NE(server.port(), 0);

  HttpRequest r = request("/hello");
  r.headers = {{"X-Ask", "question"}};
  HttpResponse direct = ok(client.perform(r));
  EXPECT_EQ(direct.status, 201);
  EXPECT_EQ(direct.body, "hello body");
  EXPECT_EQ(headerValue(direct.headers, "x-reply"), "yes");
  EXPECT_EQ(headerValue(direct.headers, "X-ECHO"), "question");
  EXPECT_EQ(headerValue(direct.headers, "Content-Length"), "10");
  EXPECT_EQ(headerValue(direct.headers, "X-Absent"), std::nullopt);

  HttpResult redirected = client.perform(request("/moved"));
  HttpResponse followed = ok(redirected);
  EXPECT_EQ(followed.status, 201);
  EXPECT_EQ(followed.effectiveURL, server.url("/hello"));
  EXPECT_EQ(headerValue(followed.headers, "X-Only-On-Redirect"), std::nullopt);

  HttpRequest noFollow = request("/moved");
  noFollow.redirects = RedirectPolicy::none;
  HttpResponse raw = ok(client.perform(noFollow));
  EXPECT_EQ(raw.status, 302);
  EXPECT_EQ(headerValue(raw.headers, "Location"), "/hello");

  EXPECT_EQ(ok(client.perform(request("/missing"))).status, 404);

  HttpRequest loop = request("/loop");
  loop.maxRedirects = 3;
  EXPECT_EQ(errorCode(client.perform(loop)), url_error::httpTooManyRedirects);

  HttpRequest head = request("/hello");
  head.method = "HEAD";
  HttpResponse headResponse = ok(client.perform(head));
  EXPECT_EQ(headResponse.status, 201);
  EXPECT_TRUE(headResponse.body.empty());
}

TEST_F(HttpClientTest, PostRedirectedBy302And307KeepsMethodBodyAndHeaders) {
  SeenRequest seen;
  server.http().Post("/302", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/target", 302);
  });
  server.http().Post("/307", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/target", 307);
  });
  auto target = [&seen](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(seen.mu);
    seen.method = req.method;
    seen.body = req.body;
    seen.header = req.get_header_value("X-Client");
    seen.contentType = req.get_header_value("Content-Type");
    res.set_content("{\"ok\":true}", "application/json");
  };
  server.http().Post("/target", target);
  server.http().Get("/target", target);
  server.start();
  ASSERT_NE(server.port(), 0);

  for (const char* path : {"/302", "/307"}) {
    SCOPED_TRACE(path);
    HttpRequest r = request(path);
    r.method = "POST";
    r.body = "{\"appId\":\"x\"}";
    r.headers = {{"Content-Type", "application/json"}, {"X-Client", "installer"}};
    r.redirects = RedirectPolicy::followKeepingPost;
    HttpResponse response = ok(client.perform(r));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "{\"ok\":true}");
    std::lock_guard<std::mutex> lock(seen.mu);
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.body, "{\"appId\":\"x\"}");
    EXPECT_EQ(seen.header, "installer");
    EXPECT_EQ(seen.contentType, "application/json");
  }

  // The ordinary policy turns a POST answered by 302 into a GET.
  HttpRequest r = request("/302");
  r.method = "POST";
  r.body = "data";
  EXPECT_EQ(ok(client.perform(r)).status, 200);
  std::lock_guard<std::mutex> lock(seen.mu);
  EXPECT_EQ(seen.method, "GET");
}

TEST_F(HttpClientTest, RedirectsToAnythingButHttpsAreRefusedBeforeAByteIsSent) {
  // A plain-HTTP server of our own that records whatever reaches it.
  httplib::Server clear;
  std::atomic<int> reached{0};
  clear.set_pre_routing_handler([&reached](const httplib::Request&, httplib::Response& res) {
    ++reached;
    res.set_content("{\"status\":0}", "application/json");
    return httplib::Server::HandlerResponse::Handled;
  });
  int clearPort = clear.bind_to_any_port("127.0.0.1");
  ASSERT_GT(clearPort, 0);
  std::thread serving([&clear] { clear.listen_after_bind(); });
  const std::string target = "http://127.0.0.1:" + std::to_string(clearPort) + "/package";

  auto away = [target](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(target, 302);
  };
  server.http().Get("/away", away);
  server.http().Post("/away", away);
  server.start();
  ASSERT_NE(server.port(), 0);

  struct Case {
    const char* method;
    RedirectPolicy redirects;
  };
  for (Case c : {Case{"GET", RedirectPolicy::follow}, Case{"HEAD", RedirectPolicy::follow},
                 Case{"POST", RedirectPolicy::followKeepingPost}}) {
    SCOPED_TRACE(c.method);
    HttpRequest r = request("/away");
    r.method = c.method;
    r.body = c.method == std::string("POST") ? "{\"uid\":\"secret\"}" : "";
    r.redirects = c.redirects;
    EXPECT_EQ(errorCode(client.perform(r)), url_error::secureConnectionRequired);
  }
  // stop() only reaches a server that is already listening.
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       !clear.is_running() && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::yield();
  }
  clear.stop();
  serving.join();
  EXPECT_EQ(reached.load(), 0);
}

TEST_F(HttpClientTest, IdleLimitEndsAStalledExchange) {
  server.http().Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider(
        "application/octet-stream", [this](size_t offset, httplib::DataSink& sink) {
          if (offset == 0) {
            sink.write("first", 5);
            return true;
          }
          server.waitUntilStopping(20s);
          sink.done();
          return true;
        });
  });
  server.start();
  ASSERT_NE(server.port(), 0);

  HttpRequest r = request("/stall");
  // Long enough for the TLS handshake in a loaded sanitizer build.
  r.idleTimeout = 1s;
  std::atomic<bool> sawFirst{false};
  r.onBody = [&](const char* data, std::size_t size) {
    if (std::string(data, size).find("first") != std::string::npos) sawFirst = true;
    return true;
  };
  auto start = std::chrono::steady_clock::now();
  HttpResult result = client.perform(r);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(errorCode(result), url_error::timedOut);
  EXPECT_TRUE(sawFirst);
  EXPECT_GE(elapsed, 1s);
  EXPECT_LT(elapsed, 5s);
}

TEST_F(HttpClientTest, TotalLimitEndsATrickle) {
  server.http().Get("/trickle", [this](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider(
        "application/octet-stream", [this](size_t, httplib::DataSink& sink) {
          // One byte every 50 ms never trips a 1 s idle limit.
          if (server.waitUntilStopping(50ms)) return false;
          sink.write("x", 1);
          return true;
        });
  });
  server.start();
  ASSERT_NE(server.port(), 0);

  HttpRequest r = request("/trickle");
  r.idleTimeout = 1s;
  r.totalTimeout = 500ms;
  auto start = std::chrono::steady_clock::now();
  HttpResult result = client.perform(r);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(errorCode(result), url_error::timedOut);
  EXPECT_GE(elapsed, 450ms);  // curl measures with its own, coarser clock
  EXPECT_LT(elapsed, 3s);
}

TEST_F(HttpClientTest, CancelEndsTheExchangeQuickly) {
  server.http().Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
    server.waitUntilStopping(20s);
    res.set_content("late", "text/plain");
  });
  server.start();
  ASSERT_NE(server.port(), 0);

  HttpRequest r = request("/slow");
  r.cancel = std::make_shared<HttpCancelToken>();
  std::chrono::steady_clock::time_point cancelledAt;
  std::thread canceller([&] {
    std::this_thread::sleep_for(200ms);  // let the exchange get under way
    cancelledAt = std::chrono::steady_clock::now();
    r.cancel->cancel();
  });
  HttpResult result = client.perform(r);
  auto finishedAt = std::chrono::steady_clock::now();
  canceller.join();
  EXPECT_EQ(errorCode(result), url_error::cancelled);
  EXPECT_LT(finishedAt - cancelledAt, 500ms);

  // A token cancelled beforehand stops the exchange before it starts.
  HttpRequest pre = request("/slow");
  pre.cancel = std::make_shared<HttpCancelToken>();
  pre.cancel->cancel();
  EXPECT_EQ(errorCode(client.perform(pre)), url_error::cancelled);
}

TEST_F(HttpClientTest, StreamsTheBodyAndReportsThrottledProgress) {
  const std::string chunk(64 * 1024, 'a');
  server.http().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(
        chunk.size() * 16, "application/octet-stream",
        [&](size_t offset, size_t, httplib::DataSink& sink) {
          // Spread the body over roughly 400 ms.
          if (offset > 0 && server.waitUntilStopping(25ms)) return false;
          sink.write(chunk.data(), chunk.size());
          return true;
        });
  });
  server.http().Get("/small", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("0123456789", "text/plain");
  });
  server.start();
  ASSERT_NE(server.port(), 0);

  HttpRequest r = request("/big");
  std::size_t streamed = 0;
  int responses = 0;
  bool bodyBeforeResponse = false;
  std::vector<std::pair<std::chrono::steady_clock::time_point, std::int64_t>> progress;
  std::int64_t expectedSeen = 0;
  r.onResponse = [&](long status, const HttpHeaders& headers) {
    ++responses;
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(headerValue(headers, "Content-Length").has_value());
    return true;
  };
  r.onBody = [&](const char*, std::size_t size) {
    if (responses == 0) bodyBeforeResponse = true;
    streamed += size;
    return true;
  };
  r.onProgress = [&](std::int64_t received, std::int64_t expected) {
    progress.emplace_back(std::chrono::steady_clock::now(), received);
    expectedSeen = expected;
  };
  auto started = std::chrono::steady_clock::now();
  HttpResponse response = ok(client.perform(r));
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(response.status, 200);
  EXPECT_TRUE(response.body.empty());
  EXPECT_EQ(streamed, chunk.size() * 16);
  EXPECT_EQ(responses, 1);
  EXPECT_FALSE(bodyBeforeResponse);
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress.back().second, static_cast<std::int64_t>(chunk.size() * 16));
  EXPECT_EQ(expectedSeen, static_cast<std::int64_t>(chunk.size() * 16));
  // 16 writes over ~400 ms (longer in sanitizer builds): at most one call
  // per 100 ms plus the first and the final one, each at least 100 ms
  // after the one before, except the final call.
  EXPECT_LE(progress.size(), static_cast<std::size_t>(elapsed / 100ms) + 2);
  for (std::size_t i = 1; i + 1 < progress.size(); ++i) {
    EXPECT_GE(progress[i].first - progress[i - 1].first, 100ms);
  }

  // A sink that refuses data ends the exchange with "cannot write".
  HttpRequest refusing = request("/big");
  refusing.onBody = [](const char*, std::size_t) { return false; };
  EXPECT_EQ(errorCode(client.perform(refusing)), url_error::cannotWriteToFile);

  // onResponse refusing ends the exchange as cancelled.
  HttpRequest declined = request("/small");
  declined.onResponse = [](long, const HttpHeaders&) { return false; };
  EXPECT_EQ(errorCode(client.perform(declined)), url_error::cancelled);
}

TEST_F(HttpClientTest, MapsConnectionFailures) {
  server.http().Get("/x", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("x", "text/plain");
  });
  server.start();
  ASSERT_NE(server.port(), 0);

  // Untrusted: the system store does not know the test CA.
  HttpRequest untrusted = request("/x");
  untrusted.caBundlePath.reset();
  EXPECT_EQ(errorCode(client.perform(untrusted)), url_error::serverCertificateUntrusted);

  // The certificate names localhost too.
  HttpRequest byName = request("/x");
  byName.url = server.urlWithHost("localhost", "/x");
  EXPECT_EQ(ok(client.perform(byName)).body, "x");

  // Refused: a port that was just free and has no listener.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  int freePort = ntohs(addr.sin_port);
  ::close(fd);
  HttpRequest refused = request("/x");
  refused.url = "https://127.0.0.1:" + std::to_string(freePort) + "/x";
  EXPECT_EQ(errorCode(client.perform(refused)), url_error::cannotConnectToHost);

  HttpRequest unknownHost = request("/x");
  unknownHost.url = "https://no-such-host.invalid/x";
  EXPECT_EQ(errorCode(client.perform(unknownHost)), url_error::cannotFindHost);

  HttpRequest bad = request("/x");
  bad.url = "ftp://127.0.0.1/x";
  EXPECT_EQ(errorCode(client.perform(bad)), url_error::badURL);
}

TEST(UrlErrorMappingTest, MapsCurlCodes) {
  EXPECT_EQ(urlErrorFromCurl(28), url_error::timedOut);          // OPERATION_TIMEDOUT
  EXPECT_EQ(urlErrorFromCurl(6), url_error::cannotFindHost);     // COULDNT_RESOLVE_HOST
  EXPECT_EQ(urlErrorFromCurl(5), url_error::dnsLookupFailed);    // COULDNT_RESOLVE_PROXY
  EXPECT_EQ(urlErrorFromCurl(18), url_error::networkConnectionLost);  // PARTIAL_FILE
  EXPECT_EQ(urlErrorFromCurl(52), url_error::networkConnectionLost);  // GOT_NOTHING
  EXPECT_EQ(urlErrorFromCurl(47), url_error::httpTooManyRedirects);
  EXPECT_EQ(urlErrorFromCurl(8), url_error::badServerResponse);  // WEIRD_SERVER_REPLY
  EXPECT_EQ(urlErrorFromCurl(35), url_error::secureConnectionFailed);
  EXPECT_EQ(urlErrorFromCurl(60), url_error::serverCertificateUntrusted);
  EXPECT_EQ(urlErrorFromCurl(77), url_error::serverCertificateUntrusted);  // CACERT_BADFILE
  EXPECT_EQ(urlErrorFromCurl(23), url_error::cannotWriteToFile);
  EXPECT_EQ(urlErrorFromCurl(42), url_error::cancelled);
  EXPECT_EQ(urlErrorFromCurl(3), url_error::badURL);
  EXPECT_EQ(urlErrorFromCurl(9999), url_error::unknown);
}

}  // namespace
}  // namespace installer::platform
