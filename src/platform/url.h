// URLs: a strict parser for absolute URLs (RFC 3986 syntax), their
// components and query items, and the absolute text. Values; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace installer::platform {

struct QueryItem {
  std::string name;
  std::optional<std::string> value;  // "a" has no value, "a=" has ""
  bool operator==(const QueryItem&) const = default;
};

// The parts of a URL, kept as they were written (percent-encoded).
struct URLComponents {
  std::string scheme;            // as written; compare lower-cased
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> host;  // present when there is an authority
  std::optional<int> port;
  std::string path;
  std::optional<std::string> query;     // without "?"
  std::optional<std::string> fragment;  // without "#"

  // Splits `query` at "&" and "="; absent when there is no query.
  std::optional<std::vector<QueryItem>> queryItems() const;
  // Rebuilds `query` from items (names and values percent-encoded where
  // they hold characters not allowed in a query).
  void setQueryItems(const std::vector<QueryItem>& items);
  // Absent when the components do not form a URL (for example a path
  // that does not start with "/" while there is a host).
  std::optional<std::string> string() const;
};

class URL {
 public:
  // Absent when `text` is not a valid URL: any white space or control
  // character, a bad percent escape, a bad scheme, port or host. Relative
  // references ("a/b") parse with an empty scheme.
  static std::optional<URL> parse(const std::string& text);
  // A file URL for a directory or file path.
  static URL fileURL(const std::string& path);

  const std::string& absoluteString() const { return text_; }
  const URLComponents& components() const { return parts_; }
  std::string scheme() const { return parts_.scheme; }
  std::string host() const { return parts_.host.value_or(""); }
  const std::string& path() const { return parts_.path; }
  bool isFileURL() const;

  bool operator==(const URL& other) const { return text_ == other.text_; }

 private:
  std::string text_;
  URLComponents parts_;
};

}  // namespace installer::platform
