// The usage-event vocabulary: every counted action and milestone as one
// value, with its wire name and JSON fields. Plain values; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace installer {

struct NetworkProbeResult {
  std::string url;
  std::string result;  // "success" or "failed"
  int errnoValue = 0;  // "errno" on the wire
  std::string error;
  bool operator==(const NetworkProbeResult&) const = default;
};

namespace event {
struct downloaderStart {
  std::string version, language, country, timezone, ostype, osversion, kernel;
  bool operator==(const downloaderStart&) const = default;
};
struct downloaderNetworkInfo {
  std::vector<NetworkProbeResult> results;
  bool operator==(const downloaderNetworkInfo&) const = default;
};
struct accessDownloadInfo {
  std::string url, result;
  int errnoValue = 0;
  std::string error, downloadinfo;
  bool operator==(const accessDownloadInfo&) const = default;
};
struct downloadStartInfo {
  std::string url;
  int times = 0;
  bool operator==(const downloadStartInfo&) const = default;
};
struct downloadFinishedInfo {
  std::string url;
  std::int64_t datalen = 0;
  int times = 0;
  bool operator==(const downloadFinishedInfo&) const = default;
};
struct md5ErrorInfo {
  std::string url;
  bool operator==(const md5ErrorInfo&) const = default;
};
struct downloadDataError {
  std::string url;
  int errnoValue = 0;
  std::string error;
  std::int64_t datalen = 0;
  int times = 0;
  bool operator==(const downloadDataError&) const = default;
};
struct startInstallInfo { std::string path; bool operator==(const startInstallInfo&) const = default; };
struct installSuccessInfo { std::string path; bool operator==(const installSuccessInfo&) const = default; };
struct installFailedInfo {
  std::string path, error;
  bool operator==(const installFailedInfo&) const = default;
};
struct installClick {
  std::string language, path;
  bool operator==(const installClick&) const = default;
};
struct carouselFail {
  std::string url, error;
  bool operator==(const carouselFail&) const = default;
};
struct updateClick {
  std::string installedversion, latestversion;
  bool operator==(const updateClick&) const = default;
};
struct skipUpdateClick {
  std::string installedversion, latestversion;
  bool operator==(const skipUpdateClick&) const = default;
};
struct downloaderExitInfo { bool operator==(const downloaderExitInfo&) const = default; };
struct customInstallClick { bool operator==(const customInstallClick&) const = default; };
struct startAppClick { bool operator==(const startAppClick&) const = default; };
struct offlineDownloadClick { bool operator==(const offlineDownloadClick&) const = default; };
struct reDownloadClick { bool operator==(const reDownloadClick&) const = default; };
struct reInstallClick { bool operator==(const reInstallClick&) const = default; };
struct quitContinue { bool operator==(const quitContinue&) const = default; };
struct quitQuit { bool operator==(const quitQuit&) const = default; };
}  // namespace event

// The 22 cases in wire order: 14 with data, then 8 without.
using ReportEvent = std::variant<
    event::downloaderStart, event::downloaderNetworkInfo, event::accessDownloadInfo,
    event::downloadStartInfo, event::downloadFinishedInfo, event::md5ErrorInfo,
    event::downloadDataError, event::startInstallInfo, event::installSuccessInfo,
    event::installFailedInfo, event::installClick, event::carouselFail, event::updateClick,
    event::skipUpdateClick, event::downloaderExitInfo, event::customInstallClick,
    event::startAppClick, event::offlineDownloadClick, event::reDownloadClick,
    event::reInstallClick, event::quitContinue, event::quitQuit>;

// The event name sent to the log service, spelled as the service expects
// ("ReDownloadClicke", "Quit_Quit", …).
std::string eventName(const ReportEvent& event);
// The attributes: an object, or an array for downloaderNetworkInfo.
nlohmann::json fields(const ReportEvent& event);
// {"msg": fields} with sorted keys and no white space; {"msg":{}} when the
// fields cannot be encoded (e.g. a string that is not valid UTF-8).
std::string attributesText(const ReportEvent& event);

// Short English text for a URL-loading error code ("timed out",
// "network error -1100").
std::string networkErrorDescription(int code);
// The English name of a language code: "zh_Hant_TW" -> "Traditional
// Chinese", "pt-BR" -> "Portuguese".
std::string languageDisplayName(const std::string& code);

}  // namespace installer
