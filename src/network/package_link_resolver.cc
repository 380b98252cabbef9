#include "network/package_link_resolver.h"

#include <utility>

#include <unicode/utf8.h>

#include "telemetry/reporter.h"

namespace installer {

namespace {

constexpr char kTimedOut[] = "timed out waiting for the update server";
constexpr char kDidNotComplete[] = "update request did not complete";
constexpr char kDefaultVersion[] = "0.0.0";

bool isValidUTF8(const std::string& bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  int32_t length = static_cast<int32_t>(bytes.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

// The check signals its semaphore once. A waiter woken by it signals again,
// so every other waiter on the same (finished) check wakes too instead of
// sleeping out its own limit.
void passOn(platform::Semaphore& done) { done.signal(); }

std::string textOrEmpty(const std::string& bytes) {
  return isValidUTF8(bytes) ? bytes : std::string();
}

PackageLinkResolver::Dependencies withDefaults(PackageLinkResolver::Dependencies d) {
  if (!d.installedVersion) {
    d.installedVersion = [](const std::string&, const std::optional<std::string>&) {
      return std::optional<std::string>();
    };
  }
  if (!d.report) d.report = [](const ReportEvent& e) { Reporter::shared().report(e); };
  if (!d.languageCode) d.languageCode = [] { return currentLanguageCode(); };
  if (!d.systemVersion) d.systemVersion = [] { return systemVersionString(); };
  return d;
}

}  // namespace

CheckUpdateVerdict judgeCheckUpdate(const CheckUpdateOutcome& outcome, const std::string& url) {
  event::accessDownloadInfo row;
  row.url = url;

  if (const auto* error = std::get_if<CheckUpdateError>(&outcome)) {
    row.result = "failed";
    row.downloadinfo = "{}";
    if (const auto* network = error->as<check_update_error::network>()) {
      if (network->code) {
        row.errnoValue = *network->code;
        row.error = networkErrorDescription(*network->code);
      } else {
        row.errnoValue = -1;
        row.error = network->message;
      }
    } else {
      const auto* bad = error->as<check_update_error::badStatus>();
      row.errnoValue = bad ? bad->statusCode : -1;
      row.error = error->description();
    }
    return {*error, std::move(row)};
  }

  const auto& http = std::get<CheckUpdateHTTPResult>(outcome);
  PackageLinkResult result = parsePackageLink(http.data, http.statusCode);
  if (const auto* error = std::get_if<CheckUpdateError>(&result)) {
    row.result = "failed";
    if (http.data.empty()) {
      row.errnoValue = -1;
      row.error = "no response";
    } else {
      const auto* bad = error->as<check_update_error::badStatus>();
      row.errnoValue = bad ? bad->statusCode : -1;
      row.error = error->description();
      row.downloadinfo = textOrEmpty(http.data);
    }
  } else {
    row.result = "success";
    row.errnoValue = 0;
    row.downloadinfo = textOrEmpty(http.data);
  }
  return {std::move(result), std::move(row)};
}

std::shared_ptr<PackageLinkResolver> PackageLinkResolver::create(
    AppConfig config, std::shared_ptr<CheckUpdateTransport> transport,
    Dependencies dependencies) {
  return std::shared_ptr<PackageLinkResolver>(new PackageLinkResolver(
      std::move(config), std::move(transport), withDefaults(std::move(dependencies))));
}

std::shared_ptr<PackageLinkResolver> PackageLinkResolver::create(
    AppConfig config, std::shared_ptr<CheckUpdateTransport> transport) {
  return create(std::move(config), std::move(transport), Dependencies{});
}

PackageLinkResolver::PackageLinkResolver(AppConfig config,
                                         std::shared_ptr<CheckUpdateTransport> transport,
                                         Dependencies dependencies)
    : config_(std::move(config)),
      transport_(std::move(transport)),
      dependencies_(std::move(dependencies)) {}

bool PackageLinkResolver::isConfigured() const {
  return config_.checkUpdateURL.has_value() && config_.checkUpdateApp.has_value() &&
         !config_.checkUpdateApp->empty();
}

std::shared_ptr<platform::Semaphore> PackageLinkResolver::beginLoadingIfNeeded() {
  if (std::holds_alternative<Success>(state_) || std::holds_alternative<Loading>(state_)) {
    return nullptr;
  }
  auto done = std::make_shared<platform::Semaphore>(0);
  state_ = Loading{done};
  return done;
}

void PackageLinkResolver::prefetch() {
  if (!isConfigured()) return;
  std::shared_ptr<platform::Semaphore> done;
  {
    std::lock_guard<std::mutex> hold(lock_);
    done = beginLoadingIfNeeded();
  }
  if (done) startRequest(std::move(done));
}

CheckUpdateRequest PackageLinkResolver::makeRequest() const {
  CheckUpdateRequest request;
  request.uid = config_.checkUpdateUID.value_or("");
  request.app = config_.checkUpdateApp.value_or("");
  auto installed =
      dependencies_.installedVersion(config_.productID, config_.installDirectoryOverride);
  request.version = installed && !installed->empty() ? *installed : kDefaultVersion;
  request.osVersion = dependencies_.systemVersion();
  request.lang = dependencies_.languageCode();
  return request;
}

void PackageLinkResolver::startRequest(std::shared_ptr<platform::Semaphore> done) {
  // The work item and the completion hold the resolver weakly: a resolver
  // that went away must not be kept alive by its own check, but its
  // waiters must still be released.
  std::weak_ptr<PackageLinkResolver> weak = weak_from_this();
  platform::dispatchGlobal(platform::QueuePriority::userInitiated, [weak, done]() {
    auto self = weak.lock();
    if (!self || !self->config_.checkUpdateURL) {
      done->signal();
      return;
    }
    CheckUpdateRequest request = self->makeRequest();
    platform::URL endpoint = *self->config_.checkUpdateURL;
    auto transport = self->transport_;
    self.reset();  // never hold the resolver across the exchange
    transport->checkUpdate(request, endpoint, [weak, done](CheckUpdateOutcome outcome) {
      if (auto owner = weak.lock()) owner->handleResponse(outcome);
      done->signal();
    });
  });
}

void PackageLinkResolver::handleResponse(const CheckUpdateOutcome& outcome) {
  // Only called while a check is running, so checkUpdateURL is set.
  CheckUpdateVerdict verdict =
      judgeCheckUpdate(outcome, config_.checkUpdateURL->absoluteString());
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (auto* link = std::get_if<PackageLink>(&verdict.result)) {
      state_ = Success{*link};
    } else {
      state_ = Failed{std::get<CheckUpdateError>(verdict.result)};
    }
  }
  dependencies_.report(verdict.telemetry);
}

PackageLinkResolver::Resolution PackageLinkResolver::resolve() {
  if (!isConfigured()) return NotConfigured{};

  std::shared_ptr<platform::Semaphore> done;
  bool start = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (const auto* success = std::get_if<Success>(&state_)) return success->link;
    if (const auto* loading = std::get_if<Loading>(&state_)) {
      done = loading->done;
    } else {
      done = beginLoadingIfNeeded();
      start = true;
    }
  }
  if (start) startRequest(done);

  // Whether the wait ended by signal or by time does not matter: the state
  // tells.
  if (done->waitFor(dependencies_.waitTimeout)) passOn(*done);

  std::lock_guard<std::mutex> hold(lock_);
  if (const auto* success = std::get_if<Success>(&state_)) return success->link;
  if (const auto* failed = std::get_if<Failed>(&state_)) return failed->error;
  if (std::holds_alternative<Idle>(state_)) {
    return CheckUpdateError(check_update_error::network{kDidNotComplete, std::nullopt});
  }
  return CheckUpdateError(check_update_error::network{kTimedOut, std::nullopt});
}

std::optional<PackageLink> PackageLinkResolver::cachedLink(platform::Duration interval) {
  std::shared_ptr<platform::Semaphore> done;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (const auto* success = std::get_if<Success>(&state_)) return success->link;
    const auto* loading = std::get_if<Loading>(&state_);
    if (!loading) return std::nullopt;
    done = loading->done;
  }
  if (!done->waitFor(interval)) return std::nullopt;
  passOn(*done);
  std::lock_guard<std::mutex> hold(lock_);
  if (const auto* success = std::get_if<Success>(&state_)) return success->link;
  return std::nullopt;
}

}  // namespace installer
