// Fetches the package link from the update service at most once at a time,
// remembers the outcome, and lets any number of callers wait for it with a
// bounded wait.
//
// The application starts a check right after launch (`prefetch`) so the
// answer is usually there when the install run asks for it (`resolve`,
// `cachedLink`). One resolver lives for the program's life; create it with
// `create` and share it.
//
// States: idle -> loading (prefetch or resolve) -> success (final) or
// failed; a failed check is retried only by the next prefetch or resolve.
// Every completed check is reported as one accessDownloadInfo event.
//
// All operations may be called from any thread. `resolve` and `cachedLink`
// block their caller (never call them on the main thread). The internal
// lock guards the state only and is never held while waiting, building a
// request, calling the transport or reporting.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config/app_config.h"
#include "network/check_update.h"
#include "network/check_update_transport.h"
#include "platform/dispatch.h"
#include "telemetry/report_event.h"

namespace installer {

class PackageLinkResolver : public std::enable_shared_from_this<PackageLinkResolver> {
 public:
  // The installed product's version text, or nothing when no copy is
  // installed. Called off the caller's thread before every check with the
  // product identifier and the configured install-directory override; an
  // empty answer counts as none and "0.0.0" is sent.
  using InstalledVersionLookup = std::function<std::optional<std::string>(
      const std::string& productID, const std::optional<std::string>& installDirectory)>;
  // Where accessDownloadInfo events go; any thread, must not block.
  using ReportFunction = std::function<void(const ReportEvent&)>;

  struct Dependencies {
    // The install run passes its lookup of the installed copy in; unset,
    // no copy counts as installed. Other defaults: Reporter::shared();
    // currentLanguageCode(); systemVersionString(); 20 seconds.
    InstalledVersionLookup installedVersion;
    ReportFunction report;
    std::function<std::string()> languageCode;
    std::function<std::string()> systemVersion;
    platform::Duration waitTimeout = std::chrono::seconds(20);
  };

  // The outcome of `resolve`.
  struct NotConfigured {
    bool operator==(const NotConfigured&) const = default;
  };
  using Resolution = std::variant<NotConfigured, PackageLink, CheckUpdateError>;

  // Starts nothing. `transport` must not be null.
  static std::shared_ptr<PackageLinkResolver> create(
      AppConfig config, std::shared_ptr<CheckUpdateTransport> transport,
      Dependencies dependencies);
  static std::shared_ptr<PackageLinkResolver> create(
      AppConfig config, std::shared_ptr<CheckUpdateTransport> transport);

  PackageLinkResolver(const PackageLinkResolver&) = delete;
  PackageLinkResolver& operator=(const PackageLinkResolver&) = delete;

  // True when CheckUpdateURL is set and CheckUpdateApp is non-empty.
  // Never blocks.
  bool isConfigured() const;

  // Starts a check in the background unless one is running or a link is
  // known; returns at once. Does nothing when not configured.
  void prefetch();

  // The link, starting a check first when none is running and none has
  // succeeded. Blocks at most the wait limit (20 s) plus the time to take
  // the lock. When the wait runs out the check keeps going and its late
  // result is kept; this call fails with network("timed out waiting for
  // the update server").
  Resolution resolve();

  // The link when it is known, or becomes known within `interval` from a
  // check already running. Never starts a check.
  std::optional<PackageLink> cachedLink(platform::Duration interval);

  const AppConfig& config() const { return config_; }

  // The request the next check sends; built off the caller's thread by the
  // check itself, exposed for tests.
  CheckUpdateRequest makeRequest() const;

 private:
  struct Idle {};
  struct Loading {
    std::shared_ptr<platform::Semaphore> done;  // signalled once by the check
  };
  struct Success {
    PackageLink link;
  };
  struct Failed {
    CheckUpdateError error;
  };
  using State = std::variant<Loading, Success, Failed, Idle>;

  PackageLinkResolver(AppConfig config, std::shared_ptr<CheckUpdateTransport> transport,
                      Dependencies dependencies);

  // Caller holds lock_. A semaphore when the caller must start a check.
  std::shared_ptr<platform::Semaphore> beginLoadingIfNeeded();
  void startRequest(std::shared_ptr<platform::Semaphore> done);
  void handleResponse(const CheckUpdateOutcome& outcome);

  const AppConfig config_;
  const std::shared_ptr<CheckUpdateTransport> transport_;
  const Dependencies dependencies_;
  mutable std::mutex lock_;
  State state_ = Idle{};  // guarded by lock_
};

// The accessDownloadInfo event for one completed check, and the state it
// leaves: the link, or the error kept for later callers.
struct CheckUpdateVerdict {
  PackageLinkResult result;
  event::accessDownloadInfo telemetry;
};
CheckUpdateVerdict judgeCheckUpdate(const CheckUpdateOutcome& outcome, const std::string& url);

}  // namespace installer
