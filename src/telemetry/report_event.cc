#include "telemetry/report_event.h"

#include <cctype>
#include <type_traits>

#include "platform/locale_info.h"

namespace installer {

namespace {

using nlohmann::json;

template <typename... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// Every case without data has no members; its fields are an empty object.
template <typename T>
constexpr bool isEmptyCase = std::is_empty_v<T>;

}  // namespace

std::string eventName(const ReportEvent& event) {
  return std::visit(
      Overloaded{
          [](const event::downloaderStart&) -> std::string { return "DownloaderStart"; },
          [](const event::downloaderNetworkInfo&) -> std::string { return "downloaderNetworkInfo"; },
          [](const event::accessDownloadInfo&) -> std::string { return "AccessDownloadInfo"; },
          [](const event::downloadStartInfo&) -> std::string { return "DownloadStartInfo"; },
          [](const event::downloadFinishedInfo&) -> std::string { return "DownloadFinishedInfo"; },
          [](const event::md5ErrorInfo&) -> std::string { return "MD5ErrorInfo"; },
          [](const event::downloadDataError& e) -> std::string {
            return e.datalen <= 0 ? "NoDownloadDataErrInfo" : "PartDownloadDataErrInfo";
          },
          [](const event::startInstallInfo&) -> std::string { return "StartInstallInfo"; },
          [](const event::installSuccessInfo&) -> std::string { return "InstallSuccessInfo"; },
          [](const event::installFailedInfo&) -> std::string { return "InstallFailedInfo"; },
          [](const event::installClick&) -> std::string { return "InstallClick"; },
          [](const event::carouselFail&) -> std::string { return "Carousel_Fail"; },
          [](const event::updateClick&) -> std::string { return "UpdateClick"; },
          [](const event::skipUpdateClick&) -> std::string { return "SkipUpdateClick"; },
          [](const event::downloaderExitInfo&) -> std::string { return "downloaderExitInfo"; },
          [](const event::customInstallClick&) -> std::string { return "CustomInstallClick"; },
          [](const event::startAppClick&) -> std::string { return "StartAppClick"; },
          [](const event::offlineDownloadClick&) -> std::string { return "OfflineDownloadClick"; },
          // The service counts this event under its historical spelling.
          [](const event::reDownloadClick&) -> std::string { return "ReDownloadClicke"; },
          [](const event::reInstallClick&) -> std::string { return "ReInstallClick"; },
          [](const event::quitContinue&) -> std::string { return "Quit_Continue"; },
          [](const event::quitQuit&) -> std::string { return "Quit_Quit"; },
      },
      event);
}

json fields(const ReportEvent& event) {
  return std::visit(
      Overloaded{
          [](const event::downloaderStart& e) -> json {
            return {{"version", e.version},   {"language", e.language}, {"country", e.country},
                    {"timezone", e.timezone}, {"ostype", e.ostype},     {"osversion", e.osversion},
                    {"kernel", e.kernel}};
          },
          [](const event::downloaderNetworkInfo& e) -> json {
            json list = json::array();
            for (const auto& r : e.results) {
              list.push_back(
                  {{"url", r.url}, {"result", r.result}, {"errno", r.errnoValue}, {"error", r.error}});
            }
            return list;
          },
          [](const event::accessDownloadInfo& e) -> json {
            return {{"url", e.url},
                    {"result", e.result},
                    {"errno", e.errnoValue},
                    {"error", e.error},
                    {"downloadinfo", e.downloadinfo}};
          },
          [](const event::downloadStartInfo& e) -> json {
            return {{"url", e.url},  {"result", ""}, {"errno", 0},
                    {"error", ""},   {"datalen", 0}, {"times", e.times}};
          },
          [](const event::downloadFinishedInfo& e) -> json {
            return {{"url", e.url}, {"result", "success"}, {"errno", 0},
                    {"error", ""},  {"datalen", e.datalen}, {"times", e.times}};
          },
          [](const event::md5ErrorInfo& e) -> json { return {{"url", e.url}}; },
          [](const event::downloadDataError& e) -> json {
            return {{"url", e.url},     {"result", "failed"},   {"errno", e.errnoValue},
                    {"error", e.error}, {"datalen", e.datalen}, {"times", e.times}};
          },
          [](const event::startInstallInfo& e) -> json {
            return {{"path", e.path}, {"error", "none"}};
          },
          [](const event::installSuccessInfo& e) -> json {
            return {{"path", e.path}, {"error", "none"}};
          },
          [](const event::installFailedInfo& e) -> json {
            return {{"path", e.path}, {"error", e.error}};
          },
          [](const event::installClick& e) -> json {
            return {{"language", e.language}, {"path", e.path}};
          },
          [](const event::carouselFail& e) -> json { return {{"url", e.url}, {"error", e.error}}; },
          [](const event::updateClick& e) -> json {
            return {{"installedversion", e.installedversion}, {"latestversion", e.latestversion}};
          },
          [](const event::skipUpdateClick& e) -> json {
            return {{"installedversion", e.installedversion}, {"latestversion", e.latestversion}};
          },
          [](const auto& e) -> json {
            static_assert(isEmptyCase<std::decay_t<decltype(e)>>);
            return json::object();
          },
      },
      event);
}

std::string attributesText(const ReportEvent& event) {
  static const char kFallback[] = R"({"msg":{}})";
  try {
    // json objects keep their keys sorted, so the text has sorted keys at
    // every level.
    json root = json::object();
    root["msg"] = fields(event);
    return root.dump();
  } catch (const json::exception&) {
    // dump() refuses strings that are not valid UTF-8 (type_error 316).
    return kFallback;
  }
}

std::string networkErrorDescription(int code) {
  switch (code) {
    case -999:
      return "cancelled";
    case -1001:
      return "timed out";
    case -1003:
    case -1006:
      return "cannot find host";
    case -1004:
      return "cannot connect to host";
    case -1005:
      return "network connection lost";
    case -1009:
      return "not connected to internet";
    case -1011:
      return "bad server response";
    case -1200:
      return "secure connection failed";
    case -1201:
    case -1202:
    case -1203:
    case -1204:
      return "server certificate rejected";
    default:
      return "network error " + std::to_string(code);
  }
}

std::string languageDisplayName(const std::string& code) {
  std::string tag = code;
  for (char& c : tag) {
    if (c == '_') c = '-';
  }
  if (tag.rfind("zh", 0) == 0) {
    return tag.find("Hant") != std::string::npos ? "Traditional Chinese" : "Chinese";
  }
  const std::string language = tag.substr(0, tag.find('-'));
  static const std::pair<const char*, const char*> kKnown[] = {
      {"en", "English"}, {"de", "German"},   {"es", "Spanish"}, {"fr", "French"},
      {"it", "Italian"}, {"ja", "Japanese"}, {"ko", "Korean"},  {"nl", "Dutch"},
      {"pt", "Portuguese"}, {"nb", "Norwegian"}};
  for (const auto& [key, name] : kKnown) {
    if (language == key) return name;
  }
  std::string name = platform::languageDisplayNameEnglish(language);
  if (name.empty()) return language;
  name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  return name;
}

}  // namespace installer
