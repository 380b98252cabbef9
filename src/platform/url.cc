#include "platform/url.h"

#include <arpa/inet.h>

#include <charconv>
#include <filesystem>

namespace installer::platform {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

bool isUnreserved(char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')':
    case '*': case '+': case ',': case ';': case '=':
      return true;
    default:
      return false;
  }
}
bool isPchar(char c) { return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@'; }

// Characters each component may hold literally; "%" escapes are checked
// separately.
bool allowedInUserinfo(char c) { return isUnreserved(c) || isSubDelim(c) || c == ':'; }
bool allowedInRegName(char c) { return isUnreserved(c) || isSubDelim(c); }
bool allowedInPath(char c) { return isPchar(c) || c == '/'; }
bool allowedInQuery(char c) { return isPchar(c) || c == '/' || c == '?'; }

// True when every character satisfies `allowed` or starts a well-formed
// "%XX" escape.
template <typename Pred>
bool validComponent(std::string_view s, Pred allowed) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '%') {
      if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2])) return false;
      i += 2;
    } else if (!allowed(c)) {
      return false;
    }
  }
  return true;
}

bool validScheme(std::string_view s) {
  if (s.empty() || !isAlpha(s[0])) return false;
  for (char c : s) {
    if (!(isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.')) return false;
  }
  return true;
}

// An IPv6 address, optionally with a zone identifier ("fe80::1%25en0").
bool validIPv6(std::string_view s) {
  std::string_view address = s;
  std::size_t zone = s.find("%25");
  if (zone != std::string_view::npos) {
    address = s.substr(0, zone);
    std::string_view zoneId = s.substr(zone + 3);
    if (zoneId.empty() || !validComponent(zoneId, isUnreserved)) return false;
  }
  if (address.empty() || address.size() >= INET6_ADDRSTRLEN) return false;
  std::string text(address);
  unsigned char buf[16];
  return inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

// Host text as stored: an IPv6 literal without its brackets (the only
// host that holds ":", so the brackets can be put back). Future-version
// literals ("[v1.x]") are not accepted.
bool validHost(std::string_view host, bool bracketed) {
  if (bracketed) return validIPv6(host);
  return validComponent(host, allowedInRegName);
}

bool parsePort(std::string_view s, std::optional<int>& port) {
  if (s.empty()) {  // "host:" is allowed and means no port
    port.reset();
    return true;
  }
  if (s.size() > 5) return false;
  int value = 0;
  for (char c : s) {
    if (!isDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  if (value > 65535) return false;
  port = value;
  return true;
}

bool parseAuthority(std::string_view authority, URLComponents& parts) {
  std::string_view hostPort = authority;
  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view userinfo = authority.substr(0, at);
    hostPort = authority.substr(at + 1);
    if (!validComponent(userinfo, allowedInUserinfo)) return false;  // also rejects a second "@"
    std::size_t colon = userinfo.find(':');
    if (colon == std::string_view::npos) {
      parts.user = std::string(userinfo);
    } else {
      parts.user = std::string(userinfo.substr(0, colon));
      parts.password = std::string(userinfo.substr(colon + 1));
    }
  }
  std::string_view host;
  std::string_view portText;
  bool hasPort = false;
  bool bracketed = false;
  if (!hostPort.empty() && hostPort[0] == '[') {
    std::size_t close = hostPort.find(']');
    if (close == std::string_view::npos) return false;
    host = hostPort.substr(1, close - 1);
    bracketed = true;
    std::string_view after = hostPort.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return false;
      hasPort = true;
      portText = after.substr(1);
    }
  } else {
    std::size_t colon = hostPort.find(':');
    host = hostPort.substr(0, colon);
    if (colon != std::string_view::npos) {
      hasPort = true;
      portText = hostPort.substr(colon + 1);
    }
  }
  if (!validHost(host, bracketed)) return false;
  if (hasPort && !parsePort(portText, parts.port)) return false;
  parts.host = std::string(host);
  return true;
}

bool hasForbiddenCharacter(std::string_view text) {
  for (unsigned char c : text) {
    // Controls, space, DEL and anything outside ASCII must be escaped.
    if (c <= 0x20 || c >= 0x7f) return true;
    switch (c) {
      case '"': case '<': case '>': case '\\': case '^': case '`':
      case '{': case '|': case '}':
        return true;
      default:
        break;
    }
  }
  return false;
}

std::optional<URLComponents> parseComponents(std::string_view text) {
  if (text.empty() || hasForbiddenCharacter(text)) return std::nullopt;
  URLComponents parts;
  std::string_view rest = text;

  std::size_t fragmentStart = rest.find('#');
  if (fragmentStart != std::string_view::npos) {
    std::string_view fragment = rest.substr(fragmentStart + 1);
    if (!validComponent(fragment, allowedInQuery)) return std::nullopt;
    parts.fragment = std::string(fragment);
    rest = rest.substr(0, fragmentStart);
  }
  std::size_t queryStart = rest.find('?');
  if (queryStart != std::string_view::npos) {
    std::string_view query = rest.substr(queryStart + 1);
    if (!validComponent(query, allowedInQuery)) return std::nullopt;
    parts.query = std::string(query);
    rest = rest.substr(0, queryStart);
  }

  // A scheme is the text before the first ":" when no "/" comes first. A
  // relative reference may not have a ":" in its first segment, so a
  // malformed scheme is an error rather than a path.
  std::size_t colon = rest.find(':');
  std::size_t slash = rest.find('/');
  if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
    std::string_view scheme = rest.substr(0, colon);
    if (!validScheme(scheme)) return std::nullopt;
    parts.scheme = std::string(scheme);
    rest = rest.substr(colon + 1);
  }

  if (rest.substr(0, 2) == "//") {
    rest = rest.substr(2);
    std::size_t end = rest.find('/');
    std::string_view authority = rest.substr(0, end);
    if (!parseAuthority(authority, parts)) return std::nullopt;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  if (!validComponent(rest, allowedInPath)) return std::nullopt;
  parts.path = std::string(rest);
  return parts;
}

// Characters a query item may hold literally: the query's own set without
// the delimiters that separate items ("&") and names from values ("="),
// so that a name or value never splits. "+" stays literal.
bool allowedInQueryItem(char c) { return allowedInQuery(c) && c != '&' && c != '='; }

std::string percentEncode(const std::string& s, bool (*allowed)(char)) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (allowed(static_cast<char>(c))) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  return out;
}

}  // namespace

std::string percentDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::optional<std::vector<QueryItem>> URLComponents::queryItems() const {
  if (!query) return std::nullopt;
  std::vector<QueryItem> items;
  if (query->empty()) return items;
  std::size_t start = 0;
  while (true) {
    std::size_t end = query->find('&', start);
    std::string piece = query->substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::size_t eq = piece.find('=');
    if (eq == std::string::npos) {
      items.push_back({percentDecode(piece), std::nullopt});
    } else {
      items.push_back({percentDecode(piece.substr(0, eq)), percentDecode(piece.substr(eq + 1))});
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return items;
}

void URLComponents::setQueryItems(const std::vector<QueryItem>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += '&';
    text += percentEncode(items[i].name, allowedInQueryItem);
    if (items[i].value) {
      text += '=';
      text += percentEncode(*items[i].value, allowedInQueryItem);
    }
  }
  query = std::move(text);
}

std::optional<std::string> URLComponents::string() const {
  const bool hasAuthority = host.has_value();
  if (!hasAuthority && (user || password || port)) return std::nullopt;
  if (hasAuthority && !path.empty() && path[0] != '/') return std::nullopt;
  if (!hasAuthority && path.rfind("//", 0) == 0) return std::nullopt;

  // Built by appending pieces one at a time: concatenating temporaries here
  // trips a false -Wrestrict in GCC 12 at -O3.
  std::string text;
  if (!scheme.empty()) text.append(scheme).append(1, ':');
  if (hasAuthority) {
    text.append("//");
    if (user || password) {
      text.append(user.value_or(""));
      if (password) text.append(1, ':').append(*password);
      text.append(1, '@');
    }
    if (host->find(':') != std::string::npos) {
      text.append(1, '[').append(*host).append(1, ']');
    } else {
      text.append(*host);
    }
    if (port) text.append(1, ':').append(std::to_string(*port));
  }
  text.append(path);
  if (query) text.append(1, '?').append(*query);
  if (fragment) text.append(1, '#').append(*fragment);

  // The result must read back as the same components; anything else (a
  // stray delimiter or an unescaped character in a component, a path
  // that would read as a scheme) does not form a URL.
  auto reread = parseComponents(text);
  if (!reread || !(*reread == *this)) return std::nullopt;
  return text;
}

std::optional<URL> URL::parse(const std::string& text) {
  auto parts = parseComponents(text);
  if (!parts) return std::nullopt;
  URL url;
  url.text_ = text;
  url.parts_ = std::move(*parts);
  return url;
}

URL URL::fileURL(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p(path);
  if (!p.is_absolute()) {
    auto absolute = std::filesystem::absolute(p, ec);
    if (!ec) p = absolute;
  }
  std::string encoded = percentEncode(p.lexically_normal().string(), allowedInPath);
  if (encoded.empty() || encoded[0] != '/') encoded.insert(encoded.begin(), '/');
  URL url;
  url.parts_.scheme = "file";
  url.parts_.host = "";
  url.parts_.path = encoded;
  url.text_ = "file://" + encoded;
  return url;
}

bool URL::isFileURL() const {
  const std::string& s = parts_.scheme;
  return s.size() == 4 && (s[0] | 0x20) == 'f' && (s[1] | 0x20) == 'i' && (s[2] | 0x20) == 'l' &&
         (s[3] | 0x20) == 'e';
}

std::string URL::filePath() const { return percentDecode(parts_.path); }

}  // namespace installer::platform
