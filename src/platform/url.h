// URLs: a strict parser for URL references (RFC 3986 syntax), their
// components and query items, and the absolute text. Values; any thread.
//
// Strict means: ASCII only, no white space or control characters, no
// characters RFC 3986 never allows literally ("\"", "<", ">", "\\", "^",
// "`", "{", "|", "}"), every "%" followed by two hex digits, each component
// holding only the characters its grammar allows (so a second "#", or "["
// outside an IPv6 literal, is an error), a port of at most five digits up
// to 65535, and an IPv6 literal that is a real address (future-version
// literals are refused). Nothing is normalised: the text is kept exactly
// as given.
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

  // Splits `query` at every "&" and then at the first "=", and removes the
  // percent escapes from names and values. Absent when there is no query;
  // empty for an empty query ("?"). Empty pieces ("a&&b") are kept as
  // items with an empty name and no value.
  std::optional<std::vector<QueryItem>> queryItems() const;
  // Rebuilds `query` from items. Names and values are percent-encoded where
  // they hold characters not allowed in a query, and also "&" and "=" so
  // that an item never splits; "+" is left as it is. An empty list gives
  // an empty (present) query.
  void setQueryItems(const std::vector<QueryItem>& items);
  // The URL text of the components. Absent when they do not form a URL:
  // a host with a path that does not start with "/", no host with a path
  // starting with "//", user, password or port without a host, or a
  // component holding characters it may not hold literally (the text must
  // read back as the same components).
  std::optional<std::string> string() const;

  bool operator==(const URLComponents&) const = default;
};

// Replaces every well-formed "%XX" escape by its byte; leaves other text,
// including malformed escapes, as it is.
std::string percentDecode(const std::string& text);

class URL {
 public:
  // Absent when `text` is not a valid URL: any white space or control
  // character, a bad percent escape, a bad scheme, port or host. Relative
  // references ("a/b") parse with an empty scheme.
  static std::optional<URL> parse(const std::string& text);
  // A file URL for a directory or file path ("file:///a%20b/"): a relative
  // path is made absolute against the current directory; characters not
  // allowed in a path are percent-encoded. A trailing "/" is kept.
  static URL fileURL(const std::string& path);

  const std::string& absoluteString() const { return text_; }
  const URLComponents& components() const { return parts_; }
  std::string scheme() const { return parts_.scheme; }
  std::string host() const { return parts_.host.value_or(""); }
  const std::string& path() const { return parts_.path; }
  bool isFileURL() const;
  // The path with its percent escapes removed (the file-system path of a
  // file URL).
  std::string filePath() const;

  bool operator==(const URL& other) const { return text_ == other.text_; }

 private:
  std::string text_;
  URLComponents parts_;
};

}  // namespace installer::platform
