#include "network/check_update_transport.h"

#include <thread>
#include <utility>

#include "telemetry/report_event.h"

namespace installer {

namespace {
constexpr char kEncodeFailure[] = "failed to encode request";
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
  std::thread([client = client_, http = makeHttpRequest(*body, endpoint),
               completion = std::move(completion)]() {
    completion(checkUpdateOutcomeFrom(client->perform(http)));
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
  if (message.empty()) {
    message = code ? networkErrorDescription(*code) : std::string("network error");
  }
  return CheckUpdateError(check_update_error::network{std::move(message), code});
}

}  // namespace installer
