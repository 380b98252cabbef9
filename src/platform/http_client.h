// One HTTP exchange over libcurl, shared by the update check, the package
// download and the network probe.
//
// Errors carry the URL-loading error codes the rest of the program speaks
// (the platform's NSURLError numbers). Mapping from curl:
//   CURLE_ABORTED_BY_CALLBACK (our cancel)          -> -999  cancelled
//   CURLE_OPERATION_TIMEDOUT, our idle limit        -> -1001 timed out
//   CURLE_URL_MALFORMAT, CURLE_UNSUPPORTED_PROTOCOL -> -1000 bad URL
//   CURLE_COULDNT_RESOLVE_HOST                      -> -1003 cannot find host
//   CURLE_COULDNT_RESOLVE_PROXY                     -> -1006 DNS lookup failed
//   CURLE_COULDNT_CONNECT                           -> -1004 cannot connect
//   CURLE_RECV_ERROR, CURLE_SEND_ERROR, CURLE_PARTIAL_FILE,
//   CURLE_GOT_NOTHING                               -> -1005 connection lost
//   CURLE_TOO_MANY_REDIRECTS                        -> -1007 too many redirects
//   CURLE_WEIRD_SERVER_REPLY, CURLE_BAD_CONTENT_ENCODING -> -1011 bad response
//   CURLE_SSL_CONNECT_ERROR, CURLE_SSL_ENGINE_*, CURLE_SSL_CIPHER,
//   CURLE_USE_SSL_FAILED                            -> -1200 TLS failed
//   CURLE_PEER_FAILED_VERIFICATION, CURLE_SSL_CACERT_BADFILE,
//   CURLE_SSL_ISSUER_ERROR                          -> -1202 certificate rejected
//   CURLE_WRITE_ERROR (a body sink refused data)    -> -3000 cannot write file
//   a redirect to anything but https (refused before connecting)
//                                                   -> -1022 secure connection required
//   no network interface up (checked on connect failure) -> -1009 not connected
//   anything else                                   -> -1 unknown
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/proxy_resolver.h"

namespace installer::platform {

namespace url_error {
inline constexpr int unknown = -1;
inline constexpr int cancelled = -999;
inline constexpr int badURL = -1000;
inline constexpr int timedOut = -1001;
inline constexpr int unsupportedURL = -1002;
inline constexpr int cannotFindHost = -1003;
inline constexpr int cannotConnectToHost = -1004;
inline constexpr int networkConnectionLost = -1005;
inline constexpr int dnsLookupFailed = -1006;
inline constexpr int httpTooManyRedirects = -1007;
inline constexpr int notConnectedToInternet = -1009;
inline constexpr int secureConnectionRequired = -1022;
inline constexpr int badServerResponse = -1011;
inline constexpr int secureConnectionFailed = -1200;
inline constexpr int serverCertificateUntrusted = -1202;
inline constexpr int cannotWriteToFile = -3000;
}  // namespace url_error

// Header fields in arrival order; names as sent.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;
// The first value of `name`, compared without case; absent when missing.
std::optional<std::string> headerValue(const HttpHeaders& headers, const std::string& name);

// Shared between the caller and a running exchange; cancelling ends the
// exchange with -999 within about 100 ms. Any thread.
class HttpCancelToken {
 public:
  void cancel() { cancelled_.store(true); }
  bool cancelled() const { return cancelled_.load(); }

 private:
  std::atomic<bool> cancelled_{false};
};

// Redirects lead only to https addresses, whatever the policy.
enum class RedirectPolicy {
  none,             // 3xx answers are returned as they are
  follow,           // GET/HEAD follow; a POST becomes GET on 301-303
  followKeepingPost // POST, its body and header fields survive 301/302/303/307/308
};

struct HttpRequest {
  std::string method = "GET";  // "GET", "HEAD", "POST"
  std::string url;
  HttpHeaders headers;
  std::string body;  // sent for POST
  // The exchange fails with -1001 when no byte arrives for this long.
  std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
  // The whole exchange fails with -1001 after this long; zero = no limit.
  std::chrono::milliseconds totalTimeout{0};
  // Tells the time for both limits; the steady clock when unset.
  std::function<std::chrono::steady_clock::time_point()> clock;
  RedirectPolicy redirects = RedirectPolicy::follow;
  int maxRedirects = 16;
  // PEM file of trusted CAs; absent = the system store.
  std::optional<std::string> caBundlePath;
  std::shared_ptr<HttpCancelToken> cancel;

  // Streaming (optional). When `onResponse` is set it is called once for
  // the final response (after redirects) before any body byte, with the
  // status and header fields; returning false ends the exchange with -999.
  std::function<bool(long status, const HttpHeaders& headers)> onResponse;
  // When set, body bytes go here instead of into HttpResponse::body;
  // returning false ends the exchange with -3000.
  std::function<bool(const char* data, std::size_t size)> onBody;
  // Called on the exchange's thread at most every 100 ms and once at the
  // end with the body bytes received so far and the expected total
  // (Content-Length, or -1 when unknown).
  std::function<void(std::int64_t received, std::int64_t expected)> onProgress;
};

struct HttpResponse {
  long status = 0;
  std::string effectiveURL;  // after redirects
  HttpHeaders headers;       // of the final response
  std::string body;          // empty when `onBody` took the bytes
};

struct HttpError {
  int code = url_error::unknown;  // a url_error value
  std::string message;            // readable, e.g. curl's error text
  int curlCode = 0;
};

using HttpResult = std::variant<HttpResponse, HttpError>;

// Performs exchanges. Implementations are thread-safe; `perform` blocks the
// calling thread for the exchange's length.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  virtual HttpResult perform(const HttpRequest& request) = 0;
};

// libcurl. No cookies and no cache are kept between exchanges. Each
// exchange asks `proxies` (GIO's resolver when null) for its URL's proxy;
// redirects keep the first URL's answer.
class CurlHttpClient final : public HttpClient {
 public:
  explicit CurlHttpClient(std::shared_ptr<const ProxyResolver> proxies = nullptr);
  HttpResult perform(const HttpRequest& request) override;

 private:
  std::shared_ptr<const ProxyResolver> proxies_;
};

// Maps a curl result code (CURLcode) to a url_error value as above.
int urlErrorFromCurl(int curlCode);

}  // namespace installer::platform
