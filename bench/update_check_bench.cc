// The update check against the local demo service (loopback HTTPS), side
// by side with plain libcurl doing the same POST:
//   CheckUpdate_Transport     our transport: new connection per check
//   Libcurl_FreshHandle       libcurl, a new easy handle per POST (same work)
//   Libcurl_ReusedHandle      libcurl, one easy handle kept: warm connection
//   HttpClient_Perform        the platform client alone, on the caller's thread
//   ParsePackageLink          the parse of the answer
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "publish/demo_service.h"
#include "network/check_update.h"
#include "network/check_update_transport.h"

namespace {

using installer::CheckUpdateOutcome;
using installer::CheckUpdateRequest;
using installer::CurlCheckUpdateTransport;

constexpr char kAnswer[] =
    R"({"status":0,"data":{"app_url":"{{base_url}}/packages/Demo.dmg",)"
    R"("md5":"0123456789abcdef0123456789abcdef","version":"1.4.2"}})";

installer::demo::DemoService& service() {
  static installer::demo::DemoService* instance = [] {
    auto* s = new installer::demo::DemoService(installer::demo::DemoServiceOptions{});
    std::string error;
    if (!s->start(&error)) throw std::runtime_error(error);
    s->setAnswer({200, kAnswer});
    return s;
  }();
  return *instance;
}

CheckUpdateRequest sampleRequest() {
  return CheckUpdateRequest{"uid", "1.0.0", "macos", "12.8.0", "en", "demo", "x64"};
}

void CheckUpdate_Transport(benchmark::State& state) {
  auto& svc = service();
  CurlCheckUpdateTransport::Options options;
  options.caBundlePath = svc.caBundlePath().string();
  CurlCheckUpdateTransport transport(options);
  auto endpoint = *installer::platform::URL::parse(svc.checkUpdateURL());
  auto request = sampleRequest();
  std::mutex mu;
  std::condition_variable cv;
  for (auto _ : state) {
    bool done = false;
    int status = 0;
    transport.checkUpdate(request, endpoint, [&](CheckUpdateOutcome outcome) {
      std::lock_guard<std::mutex> hold(mu);
      if (auto* r = std::get_if<installer::CheckUpdateHTTPResult>(&outcome)) status = r->statusCode;
      done = true;
      cv.notify_all();
    });
    std::unique_lock<std::mutex> hold(mu);
    cv.wait(hold, [&] { return done; });
    if (status != 200) state.SkipWithError("check failed");
  }
}

std::size_t discard(char*, std::size_t size, std::size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(static_cast<std::size_t>(size * count), '\0');
  return size * count;
}

struct CurlPost {
  CURL* easy = curl_easy_init();
  curl_slist* headers = nullptr;
  std::string body = *installer::encodeCheckUpdateRequest(sampleRequest());
  std::string sink;
  std::string url, ca;

  CurlPost() {
    url = service().checkUpdateURL();
    ca = service().caBundlePath().string();
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "User-Agent: Zelvox-AI-Installer");
    headers = curl_slist_append(headers, "ngrok-skip-browser-warning: 1");
  }
  ~CurlPost() {
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
  }
  bool perform(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    sink.clear();
    long status = 0;
    bool ok = curl_easy_perform(handle) == CURLE_OK &&
              curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
              status == 200;
    return ok;
  }
};

void Libcurl_FreshHandle(benchmark::State& state) {
  CurlPost post;
  for (auto _ : state) {
    CURL* handle = curl_easy_init();
    if (!post.perform(handle)) state.SkipWithError("post failed");
    curl_easy_cleanup(handle);
  }
}

void Libcurl_ReusedHandle(benchmark::State& state) {
  CurlPost post;
  if (!post.perform(post.easy)) state.SkipWithError("warm-up failed");  // connect once
  for (auto _ : state) {
    if (!post.perform(post.easy)) state.SkipWithError("post failed");
  }
}

void HttpClient_Perform(benchmark::State& state) {
  auto& svc = service();
  CurlCheckUpdateTransport::Options options;
  options.caBundlePath = svc.caBundlePath().string();
  CurlCheckUpdateTransport transport(options);
  auto http = transport.makeHttpRequest(*installer::encodeCheckUpdateRequest(sampleRequest()),
                                        *installer::platform::URL::parse(svc.checkUpdateURL()));
  installer::platform::CurlHttpClient client;
  for (auto _ : state) {
    auto result = client.perform(http);
    if (!std::holds_alternative<installer::platform::HttpResponse>(result)) {
      state.SkipWithError("perform failed");
    }
  }
}

void ParsePackageLink(benchmark::State& state) {
  std::string body = kAnswer;
  for (auto _ : state) {
    benchmark::DoNotOptimize(installer::parsePackageLink(body, 200));
  }
}

BENCHMARK(CheckUpdate_Transport)->UseRealTime()->Unit(benchmark::kMillisecond)
    ->Repetitions(5)->DisplayAggregatesOnly(true);
BENCHMARK(Libcurl_FreshHandle)->UseRealTime()->Unit(benchmark::kMillisecond)
    ->Repetitions(5)->DisplayAggregatesOnly(true);
BENCHMARK(Libcurl_ReusedHandle)->UseRealTime()->Unit(benchmark::kMillisecond)
    ->Repetitions(5)->DisplayAggregatesOnly(true);
BENCHMARK(HttpClient_Perform)->UseRealTime()->Unit(benchmark::kMillisecond)
    ->Repetitions(5)->DisplayAggregatesOnly(true);
BENCHMARK(ParsePackageLink)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
