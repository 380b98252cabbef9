// The HTTP exchange behind an update check: one POST of the request as
// compact JSON to the configured endpoint, answered by any HTTP response.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "network/check_update.h"
#include "platform/http_client.h"
#include "platform/url.h"

namespace installer {

// Either an HTTP response (any status; judging it is parsePackageLink's job)
// or a failure before one arrived.
using CheckUpdateOutcome = std::variant<CheckUpdateHTTPResult, CheckUpdateError>;
using CheckUpdateCompletion = std::function<void(CheckUpdateOutcome)>;

// Sends one update check. The resolver is the only caller and holds its
// transport through this interface so tests can put another in its place.
class CheckUpdateTransport {
 public:
  virtual ~CheckUpdateTransport() = default;

  // Sends `request` to `endpoint` and calls `completion` exactly once.
  // Any thread; never blocks. The completion runs on a background thread,
  // except when the request cannot be encoded: then it runs on the calling
  // thread, with network("failed to encode request"), before this returns.
  virtual void checkUpdate(const CheckUpdateRequest& request, const platform::URL& endpoint,
                           CheckUpdateCompletion completion) = 0;
};

// The update check over the platform HTTP client (libcurl).
//
// Each check is one POST to the endpoint exactly as configured, with the
// header fields Content-Type: application/json, User-Agent:
// Zelvox-AI-Installer and ngrok-skip-browser-warning: 1, in that order.
// No cookies, cache or credentials survive between checks. Redirects are
// followed with method, body and header fields kept, to https addresses
// only. A check ends with network(-1001, "the update server took too long
// to answer") when no byte arrives for `idleTimeout` or the exchange
// outlives `totalTimeout`. An answer longer than `maxAnswerBytes` ends the
// exchange at once and the check with decode ("unexpected response from
// the update server").
//
// Each exchange runs, and completes, on a background thread of its own.
// Destroying the transport cancels the exchanges still running; their
// completions still run (with network(-999)), so waiters are always
// released. Thread-safe.
class CurlCheckUpdateTransport final : public CheckUpdateTransport {
 public:
  struct Options {
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(15)};
    std::chrono::milliseconds totalTimeout{std::chrono::seconds(25)};
    // PEM file of trusted CAs; absent = the system store.
    std::optional<std::string> caBundlePath;
    // The longest answer read; an envelope is a few hundred bytes.
    std::size_t maxAnswerBytes = 1024 * 1024;
  };

  // `client` defaults to a CurlHttpClient of its own.
  explicit CurlCheckUpdateTransport(Options options,
                                    std::shared_ptr<platform::HttpClient> client = nullptr);
  CurlCheckUpdateTransport() : CurlCheckUpdateTransport(Options{}) {}
  ~CurlCheckUpdateTransport() override;

  CurlCheckUpdateTransport(const CurlCheckUpdateTransport&) = delete;
  CurlCheckUpdateTransport& operator=(const CurlCheckUpdateTransport&) = delete;

  void checkUpdate(const CheckUpdateRequest& request, const platform::URL& endpoint,
                   CheckUpdateCompletion completion) override;

  const Options& options() const { return options_; }

  // The HTTP request a check sends; exposed for tests.
  platform::HttpRequest makeHttpRequest(const std::string& body,
                                        const platform::URL& endpoint) const;

 private:
  Options options_;
  std::shared_ptr<platform::HttpClient> client_;
  std::shared_ptr<platform::HttpCancelToken> cancel_;
};

// Maps the HTTP client's result onto the transport's outcome: a response
// becomes a result with its body and status; an error becomes network with
// its message and URL-loading code (no code when the client's code is
// unknown; a time-out says that the server took too long).
CheckUpdateOutcome checkUpdateOutcomeFrom(const platform::HttpResult& result);

}  // namespace installer
