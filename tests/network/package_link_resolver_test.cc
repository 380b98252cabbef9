#include "network/package_link_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "support/loopback_https_server.h"
#include "support/package_fixtures.h"
#include "support/scoped_temp_home.h"

namespace installer {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Resolution = PackageLinkResolver::Resolution;

constexpr char kSuccessBody[] =
    R"({"status":0,"data":{"app_url":"https://cdn.example/pkg.dmg","md5":"abc","version":"2.0"}})";

// A transport that keeps each check pending until the test completes it,
// or answers at once when an automatic answer is set.
class FakeTransport : public CheckUpdateTransport {
 public:
  void checkUpdate(const CheckUpdateRequest& request, const platform::URL& endpoint,
                   CheckUpdateCompletion completion) override {
    std::optional<CheckUpdateOutcome> answer;
    {
      std::lock_guard<std::mutex> hold(mu_);
      requests_.push_back(request);
      endpoints_.push_back(endpoint.absoluteString());
      if (autoAnswer_) {
        answer = *autoAnswer_;
      } else {
        pending_.push_back(std::move(completion));
      }
      cv_.notify_all();
    }
    if (answer) completion(*answer);
  }

  void answerAutomatically(CheckUpdateOutcome outcome) {
    std::lock_guard<std::mutex> hold(mu_);
    autoAnswer_ = std::move(outcome);
  }
  bool waitForRequests(std::size_t count, std::chrono::milliseconds limit = 5s) {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, limit, [&] { return requests_.size() >= count; });
  }
  // Completes the oldest pending check on the calling thread.
  bool completeNext(CheckUpdateOutcome outcome) {
    CheckUpdateCompletion completion;
    {
      std::lock_guard<std::mutex> hold(mu_);
      if (pending_.empty()) return false;
      completion = std::move(pending_.front());
      pending_.erase(pending_.begin());
    }
    completion(std::move(outcome));
    return true;
  }
  std::size_t requestCount() {
    std::lock_guard<std::mutex> hold(mu_);
    return requests_.size();
  }
  std::vector<CheckUpdateRequest> requests() {
    std::lock_guard<std::mutex> hold(mu_);
    return requests_;
  }
  std::vector<std::string> endpoints() {
    std::lock_guard<std::mutex> hold(mu_);
    return endpoints_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<CheckUpdateRequest> requests_;
  std::vector<std::string> endpoints_;
  std::vector<CheckUpdateCompletion> pending_;
  std::optional<CheckUpdateOutcome> autoAnswer_;
};

class EventLog {
 public:
  PackageLinkResolver::ReportFunction sink() {
    return [this](const ReportEvent& event) {
      std::lock_guard<std::mutex> hold(mu_);
      events_.push_back(event);
      cv_.notify_all();
    };
  }
  bool waitForCount(std::size_t count, std::chrono::milliseconds limit = 5s) {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, limit, [&] { return events_.size() >= count; });
  }
  std::vector<event::accessDownloadInfo> rows() {
    std::lock_guard<std::mutex> hold(mu_);
    std::vector<event::accessDownloadInfo> rows;
    for (const auto& e : events_) rows.push_back(std::get<event::accessDownloadInfo>(e));
    return rows;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<ReportEvent> events_;
};

AppConfig configured(const std::string& url = "https://update.example/api/check") {
  AppConfig config;
  config.productID = "com.example.product";
  config.checkUpdateURL = platform::URL::parse(url);
  config.checkUpdateApp = "product";
  config.checkUpdateUID = "uid-7";
  return config;
}

PackageLink expectedLink() {
  return PackageLink{*platform::URL::parse("https://cdn.example/pkg.dmg"), "abc", "2.0"};
}

class ResolverTest : public ::testing::Test {
 protected:
  std::shared_ptr<PackageLinkResolver> make(AppConfig config,
                                            platform::Duration wait = 10s) {
    PackageLinkResolver::Dependencies deps;
    deps.report = events_.sink();
    deps.languageCode = [] { return "de"; };
    deps.systemVersion = [] { return "14.2.1"; };
    deps.installedVersion = [this](const std::string& id, const std::optional<std::string>& dir) {
      std::lock_guard<std::mutex> hold(mu_);
      lookups_.emplace_back(id, dir);
      return installed_;
    };
    deps.waitTimeout = wait;
    return PackageLinkResolver::create(std::move(config), transport_, deps);
  }

  std::shared_ptr<FakeTransport> transport_ = std::make_shared<FakeTransport>();
  EventLog events_;
  std::mutex mu_;
  std::optional<std::string> installed_;
  std::vector<std::pair<std::string, std::optional<std::string>>> lookups_;
};

TEST_F(ResolverTest, NotConfiguredMeansNoCheckAtAll) {
  AppConfig noApp = configured();
  noApp.checkUpdateApp.reset();
  AppConfig emptyApp = configured();
  emptyApp.checkUpdateApp = "";
  AppConfig noURL = configured();
  noURL.checkUpdateURL.reset();
  for (const auto& config : {noApp, emptyApp, noURL}) {
    auto resolver = make(config);
    EXPECT_FALSE(resolver->isConfigured());
    resolver->prefetch();
    EXPECT_EQ(resolver->resolve(), Resolution(PackageLinkResolver::NotConfigured{}));
    EXPECT_EQ(resolver->cachedLink(0ms), std::nullopt);
  }
  EXPECT_EQ(transport_->requestCount(), 0u);
  EXPECT_TRUE(make(configured())->isConfigured());
}

TEST_F(ResolverTest, TwoPrefetchesStartOneCheck) {
  auto resolver = make(configured());
  resolver->prefetch();
  resolver->prefetch();
  ASSERT_TRUE(transport_->waitForRequests(1));
  ASSERT_TRUE(transport_->completeNext(CheckUpdateHTTPResult{kSuccessBody, 200}));
  EXPECT_EQ(resolver->resolve(), Resolution(expectedLink()));
  EXPECT_EQ(transport_->requestCount(), 1u);
  EXPECT_EQ(transport_->endpoints(), std::vector<std::string>{"https://update.example/api/check"});
}

TEST_F(ResolverTest, ResolveDuringARunningCheckReturnsWhenItEnds) {
  auto resolver = make(configured(), 30s);
  resolver->prefetch();
  ASSERT_TRUE(transport_->waitForRequests(1));

  auto started = Clock::now();
  auto resolving = std::async(std::launch::async, [&] { return resolver->resolve(); });
  EXPECT_EQ(resolving.wait_for(50ms), std::future_status::timeout);  // still waiting
  ASSERT_TRUE(transport_->completeNext(CheckUpdateHTTPResult{kSuccessBody, 200}));
  ASSERT_EQ(resolving.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(resolving.get(), Resolution(expectedLink()));
  EXPECT_LT(Clock::now() - started, 10s);  // woken by the check, not by its limit
  EXPECT_EQ(transport_->requestCount(), 1u);
}

TEST_F(ResolverTest, EveryWaiterOnAFinishedCheckWakes) {
  auto resolver = make(configured(), 30s);
  resolver->prefetch();
  ASSERT_TRUE(transport_->waitForRequests(1));
  auto started = Clock::now();
  auto first = std::async(std::launch::async, [&] { return resolver->resolve(); });
  auto second = std::async(std::launch::async, [&] { return resolver->resolve(); });
  auto peek = std::async(std::launch::async, [&] { return resolver->cachedLink(30s); });
  // All three are blocked on the running check before it ends.
  EXPECT_EQ(first.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(second.wait_for(1ms), std::future_status::timeout);
  EXPECT_EQ(peek.wait_for(1ms), std::future_status::timeout);
  ASSERT_TRUE(transport_->completeNext(CheckUpdateHTTPResult{kSuccessBody, 200}));
  ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
  ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
  ASSERT_EQ(peek.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(first.get(), Resolution(expectedLink()));
  EXPECT_EQ(second.get(), Resolution(expectedLink()));
  EXPECT_EQ(peek.get(), expectedLink());
  EXPECT_LT(Clock::now() - started, 10s);
  EXPECT_EQ(transport_->requestCount(), 1u);
}

TEST_F(ResolverTest, SuccessIsFinal) {
  transport_->answerAutomatically(CheckUpdateHTTPResult{kSuccessBody, 200});
  auto resolver = make(configured());
  EXPECT_EQ(resolver->cachedLink(0ms), std::nullopt);  // idle: never starts a check
  EXPECT_EQ(transport_->requestCount(), 0u);

  EXPECT_EQ(resolver->resolve(), Resolution(expectedLink()));
  for (int i = 0; i < 3; ++i) {
    resolver->prefetch();
    EXPECT_EQ(resolver->resolve(), Resolution(expectedLink()));
    EXPECT_EQ(resolver->cachedLink(0ms), expectedLink());
  }
  EXPECT_EQ(transport_->requestCount(), 1u);
  ASSERT_TRUE(events_.waitForCount(1));
  auto rows = events_.rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (event::accessDownloadInfo{"https://update.example/api/check", "success", 0,
                                                "", kSuccessBody}));
}

TEST_F(ResolverTest, FailedCheckIsRetriedByTheNextResolveOnly) {
  auto resolver = make(configured());
  resolver->prefetch();
  ASSERT_TRUE(transport_->waitForRequests(1));
  ASSERT_TRUE(transport_->completeNext(CheckUpdateHTTPResult{R"({"status":5,"reason":"busy"})", 200}));
  ASSERT_TRUE(events_.waitForCount(1));

  auto started = Clock::now();
  EXPECT_EQ(resolver->cachedLink(10s), std::nullopt);  // failed: at once, no new check
  EXPECT_LT(Clock::now() - started, 5s);
  EXPECT_EQ(transport_->requestCount(), 1u);

  auto resolving = std::async(std::launch::async, [&] { return resolver->resolve(); });
  ASSERT_TRUE(transport_->waitForRequests(2));
  ASSERT_TRUE(transport_->completeNext(CheckUpdateHTTPResult{R"({"status":5,"reason":"busy"})", 200}));
  EXPECT_EQ(resolving.get(), Resolution(CheckUpdateError(check_update_error::server{"busy"})));
  EXPECT_EQ(transport_->requestCount(), 2u);

  auto rows = events_.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (event::accessDownloadInfo{"https://update.example/api/check", "failed", -1,
                                                "server error: busy",
                                                R"({"status":5,"reason":"busy"})"}));
}

TEST_F(ResolverTest, OfflineTransportFailureIsReportedWithItsCode) {
  const CheckUpdateError offline(
      check_update_error::network{"Could not connect: network is unreachable", -1009});
  transport_->answerAutomatically(offline);
  auto resolver = make(configured());
  EXPECT_EQ(resolver->resolve(), Resolution(offline));  // keeps the platform's own text
  ASSERT_TRUE(events_.waitForCount(1));
  EXPECT_EQ(events_.rows()[0],
            (event::accessDownloadInfo{"https://update.example/api/check", "failed", -1009,
                                       "not connected to internet", "{}"}));
}

TEST_F(ResolverTest, ServerErrorWithEmptyBodyIsReportedAsNoResponse) {
  transport_->answerAutomatically(CheckUpdateHTTPResult{"", 500});
  auto resolver = make(configured());
  EXPECT_EQ(resolver->resolve(), Resolution(CheckUpdateError(check_update_error::badStatus{500})));
  ASSERT_TRUE(events_.waitForCount(1));
  EXPECT_EQ(events_.rows()[0], (event::accessDownloadInfo{"https://update.example/api/check",
                                                          "failed", -1, "no response", ""}));
}

TEST(JudgeCheckUpdate, TelemetryRows) {
  const std::string url = "https://u/c";
  struct Case {
    CheckUpdateOutcome outcome;
    event::accessDownloadInfo row;
  };
  std::vector<Case> cases = {
      {CheckUpdateError(check_update_error::network{"refused", std::nullopt}),
       {url, "failed", -1, "refused", "{}"}},
      {CheckUpdateError(check_update_error::network{"x", -1001}),
       {url, "failed", -1001, "timed out", "{}"}},
      {CheckUpdateError(check_update_error::network{"x", -1100}),
       {url, "failed", -1100, "network error -1100", "{}"}},
      {CheckUpdateHTTPResult{"<html>gone</html>", 404},
       {url, "failed", 404, "HTTP 404", "<html>gone</html>"}},
      {CheckUpdateHTTPResult{"\xFF\xFE", 502}, {url, "failed", 502, "HTTP 502", ""}},
      {CheckUpdateHTTPResult{"", 200}, {url, "failed", -1, "no response", ""}},
      {CheckUpdateHTTPResult{"not json", 200},
       {url, "failed", -1, "unexpected response from the update server", "not json"}},
      {CheckUpdateHTTPResult{R"({"status":0})", 200},
       {url, "failed", -1, "server did not return a download URL", R"({"status":0})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row.error);
    EXPECT_EQ(judgeCheckUpdate(c.outcome, url).telemetry, c.row);
  }
}

TEST_F(ResolverTest, RequestValues) {
  AppConfig config = configured();
  config.installDirectoryOverride = "/opt/apps";
  auto resolver = make(config);
  installed_ = "3.1.4";
  auto request = resolver->makeRequest();
  EXPECT_EQ(request, (CheckUpdateRequest{"uid-7", "3.1.4", "macos", "14.2.1", "de", "product", "x64"}));
  ASSERT_EQ(lookups_.size(), 1u);
  EXPECT_EQ(lookups_[0].first, "com.example.product");
  EXPECT_EQ(lookups_[0].second, std::optional<std::string>("/opt/apps"));

  installed_ = "";
  EXPECT_EQ(resolver->makeRequest().version, "0.0.0");
  installed_.reset();
  EXPECT_EQ(resolver->makeRequest().version, "0.0.0");

  AppConfig bare = configured();
  bare.checkUpdateUID.reset();
  bare.checkUpdateApp.reset();
  auto plain = make(bare)->makeRequest();
  EXPECT_EQ(plain.uid, "");
  EXPECT_EQ(plain.app, "");

  // The request is built by the check itself.
  transport_->answerAutomatically(CheckUpdateHTTPResult{kSuccessBody, 200});
  installed_ = "9.9";
  resolver->resolve();
  ASSERT_EQ(transport_->requests().size(), 1u);
  EXPECT_EQ(transport_->requests()[0].version, "9.9");
}

TEST_F(ResolverTest, ResolverGoneBeforeTheCheckEndsReportsNothing) {
  auto resolver = make(configured());
  resolver->prefetch();
  ASSERT_TRUE(transport_->waitForRequests(1));
  resolver.reset();
  ASSERT_TRUE(transport_->completeNext(CheckUpdateHTTPResult{kSuccessBody, 200}));
  EXPECT_TRUE(events_.rows().empty());
}

// What the program builds: the default lookup finds the real installed copy.
// The installed version comes from the lookup the install run passes in,
// asked with the product and the override folder, and reaches the wire.
TEST(ResolverWithLoopbackService, SendsTheVersionTheRunsLookupFinds) {
  std::mutex mu;
  std::string sent;
  testing::LoopbackHttpsServer server;
  server.http().Post("/check", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> hold(mu);
    sent = req.body;
    res.set_content(kSuccessBody, "application/json");
  });
  server.start();
  ASSERT_NE(server.port(), 0);
  AppConfig config = configured(server.url("/check"));
  config.installDirectoryOverride = "/opt/Apps";
  CurlCheckUpdateTransport::Options options;
  options.caBundlePath = server.caBundlePath();
  PackageLinkResolver::Dependencies dependencies;
  dependencies.installedVersion = [&](const std::string& id, const std::optional<std::string>& dir) {
    return id == config.productID && dir == config.installDirectoryOverride
               ? std::optional<std::string>("3.2.1")
               : std::nullopt;
  };
  auto resolver = PackageLinkResolver::create(
      config, std::make_shared<CurlCheckUpdateTransport>(options), dependencies);
  EXPECT_EQ(resolver->resolve(), Resolution(expectedLink()));
  std::lock_guard<std::mutex> hold(mu);
  EXPECT_NE(sent.find(R"("version":"3.2.1")"), std::string::npos) << sent;
}

// A real service that never answers: the resolver gives up at its own
// limit, the transport ends the check at its limit, and the next resolve
// starts a new check.
TEST(ResolverWithLoopbackService, SilentServiceTimesOutThenNextResolveRetries) {
  // The first request stalls until the test has seen the check fail; the
  // retry starts only after that handler has returned, so the server never
  // serves two connections at once.
  std::mutex mu;
  std::condition_variable cv;
  bool released = false;
  bool stalledDone = false;
  int hits = 0;
  testing::LoopbackHttpsServer server;  // stopped before the state above goes
  server.http().Post("/check", [&](const httplib::Request&, httplib::Response& res) {
    std::unique_lock<std::mutex> hold(mu);
    if (hits++ == 0) {
      cv.wait_for(hold, 20s, [&] { return released; });
      stalledDone = true;
      cv.notify_all();
      return;
    }
    res.set_content(kSuccessBody, "application/json");
  });
  server.start();
  ASSERT_NE(server.port(), 0);

  CurlCheckUpdateTransport::Options options;
  options.caBundlePath = server.caBundlePath();
  options.idleTimeout = 10s;
  options.totalTimeout = 1s;  // room for a slow (sanitized) TLS handshake
  EventLog events;
  PackageLinkResolver::Dependencies deps;
  deps.report = events.sink();
  deps.waitTimeout = 200ms;
  deps.languageCode = [] { return "en"; };
  deps.systemVersion = [] { return "12.8.0"; };
  auto resolver = PackageLinkResolver::create(
      configured(server.url("/check")), std::make_shared<CurlCheckUpdateTransport>(options), deps);

  auto started = Clock::now();
  EXPECT_EQ(resolver->resolve(),
            Resolution(CheckUpdateError(check_update_error::network{
                "timed out waiting for the update server", std::nullopt})));
  EXPECT_GE(Clock::now() - started, 200ms);

  // The transport's own limit ends the check; its failure is kept and reported.
  ASSERT_TRUE(events.waitForCount(1, 10s));
  auto row = events.rows()[0];
  EXPECT_EQ(row.result, "failed");
  EXPECT_EQ(row.errnoValue, -1001);
  EXPECT_EQ(row.error, "timed out");
  EXPECT_EQ(row.downloadinfo, "{}");
  {
    std::unique_lock<std::mutex> hold(mu);
    EXPECT_EQ(hits, 1);
    released = true;
    cv.notify_all();
    ASSERT_TRUE(cv.wait_for(hold, 10s, [&] { return stalledDone; }));
  }

  // The retry answers at once; a slow (sanitized) build may still outrun
  // the short wait, in which case the late result is kept for cachedLink.
  auto retry = resolver->resolve();
  if (std::holds_alternative<CheckUpdateError>(retry)) {
    EXPECT_EQ(resolver->cachedLink(10s), expectedLink());
  } else {
    EXPECT_EQ(retry, Resolution(expectedLink()));
  }
  ASSERT_TRUE(events.waitForCount(2, 10s));
  EXPECT_EQ(events.rows()[1].result, "success") << events.rows()[1].error;
  std::lock_guard<std::mutex> hold(mu);
  EXPECT_EQ(hits, 2);
  server.stop();
}

}  // namespace
}  // namespace installer
