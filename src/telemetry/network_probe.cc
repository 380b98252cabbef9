#include "telemetry/network_probe.h"

#include <system_error>
#include <thread>
#include <utility>

#include "platform/dispatch.h"
#include "platform/url.h"

namespace installer {

const char kProbeUserAgent[] =
    "Mozilla/5.0 (Macintosh; U; Intel Mac OS X 10_5_8; pt-pt) AppleWebKit/533.20.25 (KHTML, "
    "like Gecko) Version/5.0.4 Safari/533.20.27";

const std::vector<std::string>& defaultProbeAddresses() {
  static const std::vector<std::string> kAddresses = {
      "https://www.apple.com",
      "https://www.google.com",
      "https://www.microsoft.com",
  };
  return kAddresses;
}

namespace {

NetworkProbeResult failed(const std::string& url, int code, std::string error) {
  return {url, "failed", code, std::move(error)};
}

NetworkProbeResult probeOne(const std::string& address, const NetworkProbeOptions& options,
                            platform::HttpClient& client) {
  if (!platform::URL::parse(address)) return failed(address, -1, "bad url");
  platform::HttpRequest request;
  request.method = "HEAD";
  request.url = address;
  request.headers = {{"User-Agent", kProbeUserAgent}};
  request.idleTimeout = options.limit;
  request.totalTimeout = options.limit;
  request.caBundlePath = options.caBundlePath;
  platform::HttpResult result = client.perform(request);
  if (const auto* error = std::get_if<platform::HttpError>(&result)) {
    if (error->code == platform::url_error::unknown) return failed(address, -1, "request failed");
    return failed(address, error->code, networkErrorDescription(error->code));
  }
  if (std::get<platform::HttpResponse>(result).status == 0) {
    return failed(address, -1, "no response");
  }
  return {address, "success", 0, "No error"};
}

}  // namespace

std::vector<NetworkProbeResult> runNetworkProbe(const NetworkProbeOptions& options,
                                                platform::HttpClient& client) {
  const std::size_t count = options.addresses.size();
  // One slot per address: each thread writes only its own slot, and the
  // joins below order those writes before the read.
  std::vector<NetworkProbeResult> results(count);
  std::vector<std::thread> threads;
  threads.reserve(count);
  auto probe = [&](std::size_t i) {
    try {
      results[i] = probeOne(options.addresses[i], options, client);
    } catch (const std::exception&) {
      results[i] = failed(options.addresses[i], -1, "request failed");
    }
  };
  for (std::size_t i = 0; i < count; ++i) {
    try {
      threads.emplace_back(probe, i);
    } catch (const std::system_error&) {
      probe(i);  // no thread to be had: probe this one here instead
    }
  }
  for (auto& t : threads) t.join();
  return results;
}

std::vector<NetworkProbeResult> runNetworkProbe(const std::vector<std::string>& addresses,
                                                platform::HttpClient& client) {
  NetworkProbeOptions options;
  options.addresses = addresses;
  return runNetworkProbe(options, client);
}

void startNetworkProbe(Reporter& reporter, NetworkProbeOptions options,
                       std::shared_ptr<platform::HttpClient> client) {
  if (!client) client = std::make_shared<platform::CurlHttpClient>();
  platform::dispatchGlobal(platform::QueuePriority::utility,
                           [&reporter, options = std::move(options), client = std::move(client)] {
                             auto results = runNetworkProbe(options, *client);
                             reporter.report(event::downloaderNetworkInfo{std::move(results)});
                           });
}

}  // namespace installer
