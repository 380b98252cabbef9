#include "platform/proxy_resolver.h"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>

namespace installer::platform {

namespace {

std::string lowerCased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// GNOME's resolver answers "direct://" both for mode "none" (nothing
// configured) and for a host on the ignore list; only the second is the
// desktop's decision. GIO without glib-networking has a resolver that knows
// nothing at all.
bool directMeansDesktopDecided(GProxyResolver* resolver) {
  const std::string type = G_OBJECT_TYPE_NAME(resolver);
  if (type == "GDummyProxyResolver") return false;
  if (type != "GProxyResolverGnome") return true;
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  GSettingsSchema* schema =
      source != nullptr ? g_settings_schema_source_lookup(source, "org.gnome.system.proxy", TRUE) : nullptr;
  if (schema == nullptr) return false;
  g_settings_schema_unref(schema);
  GSettings* settings = g_settings_new("org.gnome.system.proxy");
  int mode = g_settings_get_enum(settings, "mode");  // 0 = none
  g_object_unref(settings);
  return mode != 0;
}

// A GIO proxy URI in the form curl takes; empty for kinds curl cannot use.
std::string curlProxyURL(const std::string& uri) {
  std::string::size_type colon = uri.find("://");
  if (colon == std::string::npos) return std::string();
  std::string scheme = lowerCased(uri.substr(0, colon));
  if (scheme == "socks") return "socks5" + uri.substr(colon);
  if (scheme == "http" || scheme == "https" || scheme == "socks4" || scheme == "socks4a" ||
      scheme == "socks5" || scheme == "socks5h") {
    return uri;
  }
  return std::string();
}

}  // namespace

bool isAlwaysDirectHost(const std::string& rawHost) {
  std::string host = lowerCased(rawHost);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host == "localhost" || host == "127.0.0.1" || host == "::1") return true;
  return host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0;
}

ProxyChoice GioProxyResolver::proxyFor(const std::string& url) const {
  gchar* host = nullptr;
  if (!g_uri_split_network(url.c_str(), G_URI_FLAGS_NONE, nullptr, &host, nullptr, nullptr)) {
    return ProxyChoice{};
  }
  bool direct = host != nullptr && isAlwaysDirectHost(host);
  g_free(host);
  if (direct) return ProxyChoice{ProxyChoice::Kind::direct, {}};

  GProxyResolver* resolver = g_proxy_resolver_get_default();
  if (resolver == nullptr) return ProxyChoice{};
  gchar** proxies = g_proxy_resolver_lookup(resolver, url.c_str(), nullptr, nullptr);
  if (proxies == nullptr) return ProxyChoice{};
  ProxyChoice choice;
  for (gchar** it = proxies; *it != nullptr; ++it) {
    std::string uri = *it;
    if (uri == "direct://") {
      if (directMeansDesktopDecided(resolver)) choice.kind = ProxyChoice::Kind::direct;
      break;
    }
    std::string proxy = curlProxyURL(uri);
    if (!proxy.empty()) {
      choice = ProxyChoice{ProxyChoice::Kind::proxy, proxy};
      break;
    }
  }
  g_strfreev(proxies);
  return choice;
}

}  // namespace installer::platform
