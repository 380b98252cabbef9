#include "platform/proxy_resolver.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/http_client.h"
#include "support/loopback_connect_proxy.h"

namespace installer::platform {
namespace {

TEST(ProxyResolverTest, LoopbackNamesAreAlwaysDirect) {
  for (const char* host : {"localhost", "LOCALHOST", "update.localhost", "127.0.0.1", "::1", "[::1]"}) {
    EXPECT_TRUE(isAlwaysDirectHost(host)) << host;
  }
  for (const char* host : {"127.0.0.2", "localhost.example.com", "example.com", "", "[::2]"}) {
    EXPECT_FALSE(isAlwaysDirectHost(host)) << host;
  }
  ::setenv("https_proxy", "http://127.0.0.1:9", 1);
  EXPECT_EQ(GioProxyResolver().proxyFor("https://localhost:8443/x").kind, ProxyChoice::Kind::direct);
  EXPECT_EQ(GioProxyResolver().proxyFor("not a url").kind, ProxyChoice::Kind::environment);
  ::unsetenv("https_proxy");
}

class FixedProxy final : public ProxyResolver {
 public:
  explicit FixedProxy(std::string url) : url_(std::move(url)) {}
  ProxyChoice proxyFor(const std::string&) const override { return {ProxyChoice::Kind::proxy, url_}; }

 private:
  std::string url_;
};

// The test proxy never reaches beyond loopback, whatever it is asked.
TEST(ProxyResolverTest, TheTestProxyRefusesTargetsOutsideLoopback) {
  testing::LoopbackConnectProxy proxy;
  CurlHttpClient client(std::make_shared<FixedProxy>(proxy.url()));
  HttpRequest request;
  request.url = "https://example.com/";
  request.idleTimeout = std::chrono::seconds(20);
  EXPECT_TRUE(std::holds_alternative<HttpError>(client.perform(request)));
  EXPECT_EQ(proxy.refused(), 1);
  EXPECT_EQ(proxy.requests(), std::vector<std::string>{"CONNECT example.com:443 HTTP/1.1"});
}

}  // namespace
}  // namespace installer::platform
