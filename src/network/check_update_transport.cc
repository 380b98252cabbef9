#include "network/check_update_transport.h"

#include <thread>
#include <utility>

#include "telemetry/report_event.h"

namespace installer {

namespace {
constexpr char kEncodeFailure[] = "failed to encode request";
constexpr char kTooSlow[] = "the update server took too long to answer";

// The body of one exchange, read up to the limit.
struct BoundedBody {
  std::size_t limit = 0;
  std::string bytes;
  bool overflowed = false;
};
}  // namespace

CurlCheckUpdateTransport::CurlCheckUpdateTransport(Options options,
                                                   std::shared_ptr<platform::HttpClient> client)
    : options_(std::move(options)),
      client_(client ? std::move(client) : std::make_shared<platform::CurlHttpClient>()),
      cancel_(std::make_shared<platform::HttpCancelToken>()) {}

CurlCheckUpdateTransport::~CurlCheckUpdateTransport() {
  // The exchanges hold the client and the token themselves; cancelling lets
  // them end now instead of at their time limits.
  cancel_->cancel();
}

platform::HttpRequest CurlCheckUpdateTransport::makeHttpRequest(
    const std::string& body, const platform::URL& endpoint) const {
  platform::HttpRequest request;
  request.method = "POST";
  request.url = endpoint.absoluteString();
  request.headers = {
      {"Content-Type", "application/json"},
      {"User-Agent", "Zelvox-AI-Installer"},
      {"ngrok-skip-browser-warning", "1"},
  };
  request.body = body;
  request.idleTimeout = options_.idleTimeout;
  request.totalTimeout = options_.totalTimeout;
  request.redirects = platform::RedirectPolicy::followKeepingPost;
  request.caBundlePath = options_.caBundlePath;
  request.cancel = cancel_;
  return request;
}

void CurlCheckUpdateTransport::checkUpdate(const CheckUpdateRequest& request,
                                           const platform::URL& endpoint,
                                           CheckUpdateCompletion completion) {
  auto body = encodeCheckUpdateRequest(request);
  if (!body) {
    completion(CheckUpdateError(check_update_error::network{kEncodeFailure, std::nullopt}));
    return;
  }
  // A thread of its own per exchange: an exchange may block for up to its
  // total limit and must not hold one of the few shared pool threads that
  // the rest of the program (and the resolver's own work item) runs on.
  // The thread owns everything it touches, so it may outlive the transport
  // (it is then cancelled).
  auto answer = std::make_shared<BoundedBody>();
  answer->limit = options_.maxAnswerBytes;
  platform::HttpRequest http = makeHttpRequest(*body, endpoint);
  // An answer larger than any envelope is refused as soon as it shows:
  // at an announced length, else at the first byte past the limit.
  http.onResponse = [answer](long, const platform::HttpHeaders& headers) {
    auto length = platform::headerValue(headers, "Content-Length");
    if (length && length->size() <= 18 && !length->empty() &&
        length->find_first_not_of("0123456789") == std::string::npos &&
        std::stoull(*length) > answer->limit) {
      answer->overflowed = true;
      return false;
    }
    return true;
  };
  http.onBody = [answer](const char* data, std::size_t size) {
    if (size > answer->limit - answer->bytes.size()) {
      answer->overflowed = true;
      return false;
    }
    answer->bytes.append(data, size);
    return true;
  };
  std::thread([client = client_, http = std::move(http), answer,
               completion = std::move(completion)]() {
    platform::HttpResult result = client->perform(http);
    auto* response = std::get_if<platform::HttpResponse>(&result);
    if (response && response->body.empty()) response->body = std::move(answer->bytes);
    if (answer->overflowed || (response && response->body.size() > answer->limit)) {
      completion(CheckUpdateError(check_update_error::decode{}));
      return;
    }
    completion(checkUpdateOutcomeFrom(result));
  }).detach();
}

CheckUpdateOutcome checkUpdateOutcomeFrom(const platform::HttpResult& result) {
  if (const auto* response = std::get_if<platform::HttpResponse>(&result)) {
    return CheckUpdateHTTPResult{response->body, static_cast<int>(response->status)};
  }
  const auto& error = std::get<platform::HttpError>(result);
  // A failure the client could not place among the URL-loading errors has
  // no code, so its own text is what telemetry reports.
  std::optional<int> code;
  if (error.code != platform::url_error::unknown) code = error.code;
  std::string message = error.message;
  // Whichever limit ran out (silence, or an answer that trickles), the
  // server was too slow.
  if (error.code == platform::url_error::timedOut) message = kTooSlow;
  if (message.empty()) {
    message = code ? networkErrorDescription(*code) : std::string("network error");
  }
  return CheckUpdateError(check_update_error::network{std::move(message), code});
}

}  // namespace installer
