// The update-check wire format: the request the installer POSTs to the
// update service, the envelope it gets back, the errors a check can end
// with, and the parse of an HTTP result into the package link.
//
// Plain values and pure functions; any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/url.h"

namespace installer {

// The request body. All seven members are always sent.
struct CheckUpdateRequest {
  std::string uid;        // "uid": configured CheckUpdateUID, or ""
  std::string version;    // "version": installed product version, else "0.0.0"
  std::string os = "macos";      // "os"
  std::string osVersion;  // "os_version", e.g. "14.2.1"
  std::string lang;       // "lang"
  std::string app;        // "app": configured CheckUpdateApp, or ""
  std::string cpu = "x64";       // "cpu"

  bool operator==(const CheckUpdateRequest&) const = default;
};

// Compact JSON (no white space) of the seven members in field order.
// Absent when a member is not valid UTF-8 and so cannot be encoded.
std::optional<std::string> encodeCheckUpdateRequest(const CheckUpdateRequest& request);

// What the transport hands back when an HTTP response arrived: any status.
struct CheckUpdateHTTPResult {
  std::string data;  // the body; empty when there was none
  int statusCode = 0;
  bool operator==(const CheckUpdateHTTPResult&) const = default;
};

struct CheckUpdatePayload {
  std::optional<std::string> version;  // "version"
  std::optional<std::string> appUrl;   // "app_url"
  std::optional<std::string> md5;      // "md5"
  std::optional<std::string> sha256 = std::nullopt;     // "sha256": 64 hex digits
  std::optional<std::string> signature = std::nullopt;  // "signature": Base64 Ed25519ph signature
  // "mirrors": further URLs of the same package, in the service's order.
  std::vector<std::string> mirrors = {};
  // The signed chunk list (docs/vendor.md, "Chunk lists"), as sent.
  std::optional<std::uint64_t> size = std::nullopt;           // "size"
  std::optional<std::string> chunks = std::nullopt;           // "chunks"
  std::optional<std::string> chunksSignature = std::nullopt;  // "chunks_signature"
  bool operator==(const CheckUpdatePayload&) const = default;
};

// The response envelope.
struct CheckUpdateResponse {
  std::int64_t status = 0;                // "status", required
  std::optional<std::string> reason;      // "reason"
  std::optional<CheckUpdatePayload> data;  // "data"
  bool operator==(const CheckUpdateResponse&) const = default;
};

// Decodes the envelope leniently:
// - "status" is an integer, or a string holding a base-10 integer with an
//   optional sign and no blanks; anything else (or no status) fails;
// - "reason" is kept when it is a string, dropped otherwise;
// - "data" is kept when it is an object whose "version", "app_url" and
//   "md5" are each a string, null or missing; otherwise it is dropped;
//   "sha256" and "signature" are kept when they are strings and ignored
//   otherwise (older services never send them); "mirrors", when present
//   and not null, must be an array of strings, or the body fails; so must
//   "size" be an integer in 0...INT64_MAX (no fraction, no string), and
//   "chunks" and "chunks_signature" be strings;
// - other members are ignored.
// Absent when the body is not JSON, not an object, has no usable status,
// or has a malformed "mirrors", "size", "chunks" or "chunks_signature".
std::optional<CheckUpdateResponse> decodeCheckUpdateResponse(const std::string& body);

// The resolved package link: an https URL with a host, and the MD5,
// version, SHA-256 and signature as the service sent them, trimmed (never
// empty when present). `mirrors` are further https sources of the same
// package, tried after `url` in this order; none in older answers.
// `size`, `chunks` and `chunksSignature` are the answer's chunk list
// exactly as sent (the Base64 texts untrimmed, possibly empty: an empty
// package has no chunks); they are neither required nor checked against
// each other here. Whoever holds the signing key decodes and proves them
// (decodeChunkList, verifyChunkList in proof/chunk_list.h).
struct PackageLink {
  platform::URL url;
  std::optional<std::string> md5;
  std::optional<std::string> version;
  std::optional<std::string> sha256 = std::nullopt;
  std::optional<std::string> signature = std::nullopt;
  std::vector<platform::URL> mirrors = {};
  std::optional<std::uint64_t> size = std::nullopt;           // "size"
  std::optional<std::string> chunks = std::nullopt;           // "chunks": Base64 digests
  std::optional<std::string> chunksSignature = std::nullopt;  // "chunks_signature": Base64
  bool operator==(const PackageLink&) const = default;

  // `url`, then the mirrors.
  std::vector<platform::URL> sources() const;
};

// Every way an update check can fail, each with a fixed description.
namespace check_update_error {
struct badStatus {  // "HTTP 502"
  int statusCode = 0;
  bool operator==(const badStatus&) const = default;
};
struct server {  // "server error: <message>"
  std::string message;
  bool operator==(const server&) const = default;
};
struct network {  // the message itself
  std::string message;
  std::optional<int> code;  // a URL-loading error code (platform::url_error)
  bool operator==(const network&) const = default;
};
struct missingAppURL {  // "server did not return a download URL"
  bool operator==(const missingAppURL&) const = default;
};
struct decode {  // "unexpected response from the update server"
  bool operator==(const decode&) const = default;
};
}  // namespace check_update_error

// A value and, where the install run needs it, the exception it throws.
// Equal when case and payload are equal.
class CheckUpdateError : public std::exception {
 public:
  using Case = std::variant<check_update_error::badStatus, check_update_error::server,
                            check_update_error::network, check_update_error::missingAppURL,
                            check_update_error::decode>;

  CheckUpdateError(Case value);  // NOLINT: implicit on purpose, cases read as errors

  const Case& value() const { return value_; }
  template <typename T>
  const T* as() const { return std::get_if<T>(&value_); }

  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const CheckUpdateError& other) const { return value_ == other.value_; }

 private:
  Case value_;
  std::string description_;
};

// The description of an error case, as CheckUpdateError::description.
std::string describe(const CheckUpdateError::Case& error);

using PackageLinkResult = std::variant<PackageLink, CheckUpdateError>;

// Each source a download may wait on adds its own bounded retries and idle
// limit; the number of mirrors one answer may list is bounded with them.
inline constexpr std::size_t kMaxMirrors = 4;

// Judges one HTTP result, in this order: a status outside 200...299 fails
// with badStatus (the body is not read); a body that is not the envelope
// fails with decode; a non-zero status fails with server (the reason, or
// "status <n>", made displayable and cut to 120 user-perceived
// characters); a missing payload, app_url, or an app_url that is not an
// https URL with a host (after trimming) fails with missingAppURL; a
// version longer than 64 bytes, or a link whose cache file name ("<version>-
// <file name>.partial") would not fit in one file-system name (255 bytes),
// fails with decode. Payload texts are made displayable before they are
// trimmed. Every mirror is held to app_url's rules and bounds; one that
// breaks them (not https, no host, a cache name that cannot be stored)
// refuses the whole answer with decode, as do more than kMaxMirrors
// mirrors, so no request ever goes to such an address. A mirror equal to
// app_url or to an earlier mirror is dropped. Pure.
PackageLinkResult parsePackageLink(const std::string& data, int statusCode);

// --- Text helpers, exposed for their tests --------------------------------

// `text` without leading and trailing Unicode white space and line breaks.
// Invalid UTF-8 is left as it is.
std::string trimWhitespaceAndNewlines(const std::string& text);
// `text` as UTF-8 fit to show the user: invalid sequences become U+FFFD;
// control characters (NUL included) and the directional formatting
// characters (U+061C, U+200E, U+200F, U+202A...U+202E, U+2066...U+2069) are
// removed.
std::string displayableText(const std::string& text);
// The first `count` user-perceived characters (extended grapheme clusters)
// of UTF-8 `text`; the whole text when it is shorter. Invalid sequences
// count as one character per replaced unit.
std::string prefixCharacters(const std::string& text, std::size_t count);

}  // namespace installer
