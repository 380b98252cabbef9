#include "platform/http_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace installer::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trimmed(const char* data, std::size_t size) {
  std::size_t begin = 0;
  while (begin < size && (data[begin] == ' ' || data[begin] == '\t')) ++begin;
  std::size_t end = size;
  while (end > begin && (data[end - 1] == '\r' || data[end - 1] == '\n' ||
                         data[end - 1] == ' ' || data[end - 1] == '\t')) {
    --end;
  }
  return std::string(data + begin, end - begin);
}

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// True when some interface other than loopback is up and has an address.
bool anyNetworkInterfaceUp() {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return true;  // cannot tell: assume connected
  bool up = false;
  for (struct ifaddrs* it = list; it != nullptr && !up; it = it->ifa_next) {
    if (it->ifa_addr == nullptr) continue;
    if ((it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & IFF_LOOPBACK) != 0) continue;
    int family = it->ifa_addr->sa_family;
    up = family == AF_INET || family == AF_INET6;
  }
  freeifaddrs(list);
  return up;
}

bool isLoopbackHost(const std::string& host) {
  std::string h = host;
  std::transform(h.begin(), h.end(), h.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!h.empty() && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  if (h == "localhost" || h == "::1") return true;
  if (h.size() > 10 && h.compare(h.size() - 10, 10, ".localhost") == 0) return true;
  in_addr v4{};
  if (inet_pton(AF_INET, h.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  return false;
}

bool isWebURL(const std::string& url) {
  std::string head = url.substr(0, 8);
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return head.rfind("http://", 0) == 0 || head.rfind("https://", 0) == 0;
}

std::string hostOf(const std::string& url) {
  std::string host;
  CURLU* handle = curl_url();
  if (handle == nullptr) return host;
  if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* part = nullptr;
    if (curl_url_get(handle, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) {
      host = part;
      curl_free(part);
    }
  }
  curl_url_cleanup(handle);
  return host;
}

// The environment's no_proxy list plus the loopback names.
std::string loopbackNoProxyList() {
  std::string list = "localhost,.localhost,127.0.0.1,::1";
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      if (std::string(value) == "*") return "*";
      list += ",";
      list += value;
      break;
    }
  }
  return list;
}

void applyProxyChoice(CURL* easy, const ProxyChoice& choice, const std::string& environmentNoProxy) {
  switch (choice.kind) {
    case ProxyChoice::Kind::direct:
      curl_easy_setopt(easy, CURLOPT_PROXY, "");
      break;
    case ProxyChoice::Kind::proxy:
      curl_easy_setopt(easy, CURLOPT_PROXY, choice.proxyURL.c_str());
      curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
      break;
    case ProxyChoice::Kind::environment:
      curl_easy_setopt(easy, CURLOPT_NOPROXY, environmentNoProxy.c_str());
      break;
  }
}

std::int64_t contentLength(const HttpHeaders& headers) {
  auto value = headerValue(headers, "Content-Length");
  if (!value || value->empty()) return -1;
  std::int64_t result = 0;
  for (char c : *value) {
    if (c < '0' || c > '9') return -1;
    if (result > (INT64_MAX - 9) / 10) return -1;
    result = result * 10 + (c - '0');
  }
  return result;
}

// State of one exchange, shared with curl's callbacks on the calling thread.
struct Exchange {
  const HttpRequest* request = nullptr;
  HttpResponse response;
  HttpHeaders currentHeaders;
  long currentStatus = 0;
  bool responseDelivered = false;
  bool cancelledByCaller = false;   // token or onResponse said stop
  bool idleExpired = false;
  bool totalExpired = false;
  bool sinkRefused = false;
  Clock::time_point start;
  Clock::time_point lastActivity;
  // When curl last began to look for what the server sent. The idle limit
  // is judged at this time, once that look is over, and not at the clock's:
  // a gap in which this thread did not get to run is no silence of the
  // server's when its bytes were waiting all along.
  Clock::time_point lastLook;
  Clock::time_point lastProgress;
  bool progressReported = false;
  std::int64_t received = 0;
  std::int64_t expected = -1;
  curl_off_t lastDownloadNow = 0;
  curl_off_t lastUploadNow = 0;

  Clock::time_point now() const { return request->clock ? request->clock() : Clock::now(); }

  void reportProgress(bool final) {
    if (!request->onProgress) return;
    Clock::time_point now = Clock::now();
    if (!final && progressReported && now - lastProgress < kProgressInterval) return;
    progressReported = true;
    lastProgress = now;
    request->onProgress(received, expected);
  }

  // Returns false when the exchange must stop now. The idle limit is
  // judged only once curl has read whatever was waiting (`afterLook`).
  bool checkLimits(bool afterLook) {
    Clock::time_point time = now();
    if (request->cancel && request->cancel->cancelled()) cancelledByCaller = true;
    if (afterLook && lastLook - lastActivity >= request->idleTimeout) idleExpired = true;
    if (request->totalTimeout.count() > 0 && time - start >= request->totalTimeout) {
      totalExpired = true;
    }
    return !(cancelledByCaller || idleExpired || totalExpired);
  }

  bool deliverResponse() {
    if (responseDelivered) return true;
    responseDelivered = true;
    response.status = currentStatus;
    response.headers = currentHeaders;
    expected = contentLength(currentHeaders);
    if (request->onResponse && !request->onResponse(currentStatus, currentHeaders)) {
      cancelledByCaller = true;
      return false;
    }
    return true;
  }
};

size_t onHeaderLine(char* data, size_t size, size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  std::size_t length = size * count;
  ex->lastActivity = ex->now();
  if (length >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
    // A new status line: a redirect, an interim 1xx or the final answer.
    ex->currentHeaders.clear();
    ex->currentStatus = 0;
    const char* space = static_cast<const char*>(std::memchr(data, ' ', length));
    if (space != nullptr) {
      long status = 0;
      for (const char* p = space + 1; p < data + length && *p >= '0' && *p <= '9'; ++p) {
        status = status * 10 + (*p - '0');
        if (status > 999) break;
      }
      ex->currentStatus = status;
    }
    return length;
  }
  const char* colon = static_cast<const char*>(std::memchr(data, ':', length));
  if (colon != nullptr && colon != data) {
    std::string name(data, static_cast<std::size_t>(colon - data));
    std::string value = trimmed(colon + 1, length - static_cast<std::size_t>(colon - data) - 1);
    ex->currentHeaders.emplace_back(std::move(name), std::move(value));
  }
  return length;
}

size_t onBodyBytes(char* data, size_t size, size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  std::size_t length = size * count;
  ex->lastActivity = ex->now();
  if (!ex->deliverResponse()) return 0;
  if (ex->request->onBody) {
    if (!ex->request->onBody(data, length)) {
      ex->sinkRefused = true;
      return 0;
    }
  } else {
    ex->response.body.append(data, length);
  }
  ex->received += static_cast<std::int64_t>(length);
  ex->reportProgress(false);
  return length;
}

int onTransferInfo(void* user, curl_off_t /*dltotal*/, curl_off_t dlnow,
                   curl_off_t /*ultotal*/, curl_off_t ulnow) {
  auto* ex = static_cast<Exchange*>(user);
  if (dlnow != ex->lastDownloadNow || ulnow != ex->lastUploadNow) {
    ex->lastDownloadNow = dlnow;
    ex->lastUploadNow = ulnow;
    ex->lastActivity = ex->now();
  }
  return ex->checkLimits(false) ? 0 : 1;
}

}  // namespace

std::optional<std::string> headerValue(const HttpHeaders& headers, const std::string& name) {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

int urlErrorFromCurl(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_ABORTED_BY_CALLBACK:
      return url_error::cancelled;
    case CURLE_OPERATION_TIMEDOUT:
      return url_error::timedOut;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return url_error::badURL;
    case CURLE_COULDNT_RESOLVE_HOST:
      return url_error::cannotFindHost;
    case CURLE_COULDNT_RESOLVE_PROXY:
      return url_error::dnsLookupFailed;
    case CURLE_COULDNT_CONNECT:
      return url_error::cannotConnectToHost;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return url_error::networkConnectionLost;
    case CURLE_TOO_MANY_REDIRECTS:
      return url_error::httpTooManyRedirects;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return url_error::badServerResponse;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
      return url_error::secureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return url_error::serverCertificateUntrusted;
    case CURLE_WRITE_ERROR:
      return url_error::cannotWriteToFile;
    default:
      return url_error::unknown;
  }
}

CurlHttpClient::CurlHttpClient(std::shared_ptr<const ProxyResolver> proxies)
    : proxies_(proxies ? std::move(proxies) : std::make_shared<GioProxyResolver>()) {
  initCurlOnce();
}

HttpResult CurlHttpClient::perform(const HttpRequest& request) {
  initCurlOnce();
  Exchange ex;
  ex.request = &request;
  ex.start = ex.now();
  ex.lastActivity = ex.start;
  ex.lastLook = ex.start;

  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  if (easy == nullptr || multi == nullptr) {
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    return HttpError{url_error::unknown, "cannot create a transfer handle", 0};
  }

  char errorBuffer[CURL_ERROR_SIZE] = {0};
  curl_slist* headerList = nullptr;
  for (const auto& [name, value] : request.headers) {
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    headerList = curl_slist_append(headerList, line.c_str());
  }
  // No "Expect: 100-continue" round trip before POST bodies.
  headerList = curl_slist_append(headerList, "Expect:");

  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  // Whatever the first address, a server may only send us on over TLS:
  // curl refuses any other redirect before it connects or sends a byte.
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &ex);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBodyBytes);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &ex);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onTransferInfo);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &ex);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);

  if (request.method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request.method == "POST") {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
  } else if (request.method == "GET" || request.method.empty()) {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (!request.body.empty()) {
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
    }
  }

  switch (request.redirects) {
    case RedirectPolicy::none:
      curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
      break;
    case RedirectPolicy::follow:
      curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
      break;
    case RedirectPolicy::followKeepingPost:
      curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
      break;
  }
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, static_cast<long>(request.maxRedirects));

  // The desktop's proxy settings first; where it has none, the
  // environment's, but loopback never goes through one.
  std::string noProxy = loopbackNoProxyList();
  applyProxyChoice(easy, proxies_->proxyFor(request.url), noProxy);

  if (request.caBundlePath) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, request.caBundlePath->c_str());
  }
  if (request.totalTimeout.count() > 0) {
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.totalTimeout.count()));
  }

  // The multi interface lets this thread wake at least every 100 ms to
  // check the cancel token and the idle limit, even while curl waits.
  curl_multi_add_handle(multi, easy);
  CURLcode result = CURLE_OK;
  bool finished = false;
  bool stoppedByUs = false;
  while (!finished) {
    int running = 0;
    ex.lastLook = ex.now();
    CURLMcode mc = curl_multi_perform(multi, &running);
    if (mc != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
        result = msg->data.result;
        finished = true;
      }
    }
    if (finished) break;
    if (!ex.checkLimits(true)) {
      stoppedByUs = true;
      break;
    }
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(kPollInterval.count()), nullptr);
  }
  curl_multi_remove_handle(multi, easy);

  std::string effective;
  char* effectiveURL = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effectiveURL) == CURLE_OK &&
      effectiveURL) {
    effective = effectiveURL;
  }

  HttpResult outcome;
  if (stoppedByUs || (result == CURLE_ABORTED_BY_CALLBACK) ||
      (result == CURLE_WRITE_ERROR && ex.cancelledByCaller)) {
    // Several limits may trip together; the caller's cancel wins.
    if (ex.cancelledByCaller) {
      outcome = HttpError{url_error::cancelled, "cancelled", CURLE_ABORTED_BY_CALLBACK};
    } else if (ex.idleExpired) {
      outcome = HttpError{url_error::timedOut, "no data received for " +
                                                   std::to_string(request.idleTimeout.count()) +
                                                   " ms",
                          CURLE_OPERATION_TIMEDOUT};
    } else if (ex.totalExpired) {
      outcome = HttpError{url_error::timedOut, "the request timed out",
                          CURLE_OPERATION_TIMEDOUT};
    } else {
      outcome = HttpError{url_error::cancelled, "cancelled", CURLE_ABORTED_BY_CALLBACK};
    }
  } else if (result != CURLE_OK) {
    int code = urlErrorFromCurl(result);
    if (result == CURLE_WRITE_ERROR && !ex.sinkRefused) code = url_error::unknown;
    if (result == CURLE_COULDNT_CONNECT && !isLoopbackHost(hostOf(request.url)) &&
        !anyNetworkInterfaceUp()) {
      code = url_error::notConnectedToInternet;
    }
    std::string message = errorBuffer[0] ? std::string(errorBuffer) : curl_easy_strerror(result);
    if (result == CURLE_UNSUPPORTED_PROTOCOL && isWebURL(request.url)) {
      // The first address was http(s), so this was a redirect elsewhere.
      code = url_error::secureConnectionRequired;
      message = "refused a redirect to an address that is not https";
    }
    outcome = HttpError{code, message, static_cast<int>(result)};
  } else {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (ex.currentStatus == 0) ex.currentStatus = status;
    if (!ex.deliverResponse()) {
      outcome = HttpError{url_error::cancelled, "cancelled", CURLE_ABORTED_BY_CALLBACK};
    } else {
      ex.reportProgress(true);
      ex.response.effectiveURL = effective;
      outcome = std::move(ex.response);
    }
  }
  if (std::holds_alternative<HttpError>(outcome) && ex.responseDelivered) {
    ex.reportProgress(true);
  }

  curl_easy_cleanup(easy);
  curl_multi_cleanup(multi);
  curl_slist_free_all(headerList);
  return outcome;
}

}  // namespace installer::platform
