// Which proxy carries a connection, as the desktop's settings say: the
// platform's counterpart of the proxies the system's URL loading applies by
// itself. Asked once per exchange, for the exchange's URL.
#pragma once

#include <string>

namespace installer::platform {

struct ProxyChoice {
  enum class Kind {
    direct,       // connect to the host itself, whatever the environment says
    proxy,        // through `proxyURL`
    environment,  // the desktop says nothing: the environment's variables
                  // (https_proxy, no_proxy, ...) decide
  };
  Kind kind = Kind::environment;
  // For `proxy`: "http://host:port", "https://...", "socks4://...",
  // "socks4a://..." or "socks5://...", credentials included when configured.
  std::string proxyURL;

  bool operator==(const ProxyChoice&) const = default;
};

// Implementations are thread-safe. `proxyFor` may block for as long as the
// desktop's configuration takes to answer (an automatic-configuration
// script runs then); it never throws.
class ProxyResolver {
 public:
  virtual ~ProxyResolver() = default;
  virtual ProxyChoice proxyFor(const std::string& url) const = 0;
};

// GIO's default resolver: with glib-networking, GNOME's proxy settings
// (manual, automatic through a PAC file, and the ignore list) under a GNOME
// desktop, libproxy (which reads the environment) elsewhere. localhost, its
// subdomains, 127.0.0.1 and ::1 are always direct. Where the desktop has no
// proxy configured (GNOME's mode "none", or GIO without glib-networking) the
// answer is `environment`, so the variables still count. Holds no state of
// its own: GIO's resolver is the process's and follows setting changes.
class GioProxyResolver final : public ProxyResolver {
 public:
  ProxyChoice proxyFor(const std::string& url) const override;
};

// True for the hosts that never go through a proxy.
bool isAlwaysDirectHost(const std::string& host);

}  // namespace installer::platform
