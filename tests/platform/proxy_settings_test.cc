// The desktop's and the environment's proxy settings, end to end: each case
// runs in a fresh child process, since GIO's resolver is the process's and
// reads its settings once. GIO answers through its own thread pool, whose
// hand-over (GLib's futex-based locks) the thread sanitizer cannot see, so
// like the window tests this one stays out of the thread-sanitizer run;
// the test proxy's own threads are covered by proxy_resolver_test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/http_client.h"
#include "platform/proxy_resolver.h"
#include "support/loopback_connect_proxy.h"
#include "support/loopback_https_server.h"

namespace installer::platform {
namespace {

namespace fs = std::filesystem;

struct Setting {
  const char* name;
  bool environmentProxy;  // https_proxy names the test proxy
  const char* gnomeMode;  // "" = no GNOME desktop; else org.gnome.system.proxy's mode
  bool ignoreServer;      // the desktop's ignore list names 127.0.0.2
  bool expectProxied;
};

// Runs in a fresh child process (GIO's resolver is the process's and reads
// its settings once): one HTTPS exchange with 127.0.0.2 under `setting`.
// Returns "" when the exchange went as expected, else what went wrong.
std::string exchangeUnder(const Setting& setting) {
  char pattern[] = "/tmp/proxy-settings-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return "mkdtemp failed";
  const fs::path config = fs::path(pattern) / "config";
  testing::LoopbackConnectProxy proxy;
  testing::LoopbackHttpsServer server;
  server.http().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hi", "text/plain");
  });
  server.start("127.0.0.2");
  if (server.port() == 0) return "the server cannot listen on 127.0.0.2";

  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy",
                           "NO_PROXY", "XDG_CURRENT_DESKTOP", "GIO_USE_PROXY_RESOLVER"}) {
    ::unsetenv(name);
  }
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
  if (setting.environmentProxy) ::setenv("https_proxy", proxy.url().c_str(), 1);
  if (*setting.gnomeMode) {
    ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
    fs::create_directories(config / "glib-2.0/settings");
    std::ofstream keyfile(config / "glib-2.0/settings/keyfile");
    keyfile << "[system/proxy]\nmode='" << setting.gnomeMode << "'\nignore-hosts=['localhost', '127.0.0.1', '::1'"
            << (setting.ignoreServer ? ", '127.0.0.2'" : "") << "]\n"
            << "[system/proxy/https]\nhost='127.0.0.1'\nport=" << proxy.port() << "\n";
  }

  HttpRequest request;
  request.url = server.url("/hello");
  request.caBundlePath = server.caBundlePath();
  request.idleTimeout = std::chrono::seconds(20);
  HttpResult result = CurlHttpClient().perform(request);
  std::string problem;
  if (const auto* error = std::get_if<HttpError>(&result)) {
    problem = "the exchange failed: " + error->message;
  } else if (std::get<HttpResponse>(result).body != "hi") {
    problem = "unexpected answer " + std::to_string(std::get<HttpResponse>(result).status);
  }
  const std::string connect = "CONNECT 127.0.0.2:" + std::to_string(server.port()) + " HTTP/1.1";
  auto seen = proxy.requests();
  bool proxied = std::find(seen.begin(), seen.end(), connect) != seen.end();
  if (problem.empty() && proxied != setting.expectProxied) {
    problem = proxied ? "went through the proxy" : "did not go through the proxy";
  }
  server.stop();
  proxy.stop();
  fs::remove_all(pattern);
  return problem;
}

TEST(ProxySettingsTest, DesktopAndEnvironmentSettingsCarryTheExchange) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Setting settings[] = {
      {"environment only", true, "", false, true},
      {"GNOME without a proxy: the environment counts", true, "none", false, true},
      {"GNOME manual, nothing in the environment", false, "manual", false, true},
      {"GNOME manual ignoring the host beats the environment", true, "manual", true, false},
  };
  for (const Setting& setting : settings) {
    SCOPED_TRACE(setting.name);
    EXPECT_EXIT(
        {
          std::string problem = exchangeUnder(setting);
          std::fprintf(stderr, "%s\n", problem.c_str());
          std::fflush(stderr);
          std::_Exit(problem.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
}  // namespace installer::platform
