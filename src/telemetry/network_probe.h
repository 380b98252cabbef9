// The start-up network probe: one HEAD request to each of a few well-known
// public HTTPS sites, reported once as downloaderNetworkInfo. Failures are
// data: every address yields exactly one NetworkProbeResult.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/http_client.h"
#include "telemetry/report_event.h"
#include "telemetry/reporter.h"

namespace installer {

// The product's probe addresses, in their fixed order.
const std::vector<std::string>& defaultProbeAddresses();

// The User-Agent header every probe request carries.
extern const char kProbeUserAgent[];

struct NetworkProbeOptions {
  std::vector<std::string> addresses = defaultProbeAddresses();
  // Both the idle and the whole-exchange limit of each request.
  std::chrono::milliseconds limit{std::chrono::seconds(5)};
  // Trusted CAs for the requests; absent = the system store.
  std::optional<std::string> caBundlePath;
};

// Probes every address concurrently (one thread each) through `client` and
// blocks until all have finished, at most about `options.limit`. Results
// follow the order of `options.addresses`, not completion order:
//   - text that does not parse as a URL: "failed", -1, "bad url";
//   - any HTTP answer, whatever its status: "success", 0, "No error";
//   - a URL-loading error: "failed", its code, networkErrorDescription;
//   - an error of no known kind (code -1): "failed", -1, "request failed";
//   - no HTTP answer at all (status 0): "failed", -1, "no response".
// Thread-safe; `client` must be thread-safe (HttpClient implementations are).
std::vector<NetworkProbeResult> runNetworkProbe(const NetworkProbeOptions& options,
                                                platform::HttpClient& client);
// The same with the product's limit and the system's CA store.
std::vector<NetworkProbeResult> runNetworkProbe(const std::vector<std::string>& addresses,
                                                platform::HttpClient& client);

// Called once at launch. Runs the probe on a utility-priority background
// worker with `client` (a curl client when null) and reports
// downloaderNetworkInfo through `reporter`. Returns at once. `reporter`
// must outlive the probe (the shared reporter does).
void startNetworkProbe(Reporter& reporter = Reporter::shared(),
                       NetworkProbeOptions options = NetworkProbeOptions(),
                       std::shared_ptr<platform::HttpClient> client = nullptr);

}  // namespace installer
