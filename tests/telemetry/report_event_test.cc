#include "telemetry/report_event.h"

#include <gtest/gtest.h>

namespace installer {
namespace {

using nlohmann::json;

TEST(ReportEventTest, WireNames) {
  struct Case {
    ReportEvent event;
    const char* name;
  };
  const Case cases[] = {
      {event::downloaderStart{}, "DownloaderStart"},
      {event::downloaderNetworkInfo{}, "downloaderNetworkInfo"},
      {event::accessDownloadInfo{}, "AccessDownloadInfo"},
      {event::downloadStartInfo{}, "DownloadStartInfo"},
      {event::downloadFinishedInfo{}, "DownloadFinishedInfo"},
      {event::md5ErrorInfo{}, "MD5ErrorInfo"},
      {event::downloadDataError{"u", 1, "e", 0, 1}, "NoDownloadDataErrInfo"},
      {event::downloadDataError{"u", 1, "e", -1, 1}, "NoDownloadDataErrInfo"},
      {event::downloadDataError{"u", 1, "e", 1, 1}, "PartDownloadDataErrInfo"},
      {event::startInstallInfo{}, "StartInstallInfo"},
      {event::installSuccessInfo{}, "InstallSuccessInfo"},
      {event::installFailedInfo{}, "InstallFailedInfo"},
      {event::installClick{}, "InstallClick"},
      {event::carouselFail{}, "Carousel_Fail"},
      {event::updateClick{}, "UpdateClick"},
      {event::skipUpdateClick{}, "SkipUpdateClick"},
      {event::downloaderExitInfo{}, "downloaderExitInfo"},
      {event::customInstallClick{}, "CustomInstallClick"},
      {event::startAppClick{}, "StartAppClick"},
      {event::offlineDownloadClick{}, "OfflineDownloadClick"},
      {event::reDownloadClick{}, "ReDownloadClicke"},
      {event::reInstallClick{}, "ReInstallClick"},
      {event::quitContinue{}, "Quit_Continue"},
      {event::quitQuit{}, "Quit_Quit"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(eventName(c.event), c.name);
  }
}

TEST(ReportEventTest, AttributeTexts) {
  struct Case {
    ReportEvent event;
    const char* text;
  };
  const Case cases[] = {
      {event::downloaderStart{"1.2", "English", "United States", "UTC", "Mac", "12.8.0", ""},
       R"({"msg":{"country":"United States","kernel":"","language":"English","ostype":"Mac",)"
       R"("osversion":"12.8.0","timezone":"UTC","version":"1.2"}})"},
      {event::accessDownloadInfo{"https://u/c", "failed", -1001, "timed out", "{\"a\":1}"},
       R"({"msg":{"downloadinfo":"{\"a\":1}","errno":-1001,"error":"timed out","result":"failed",)"
       R"("url":"https://u/c"}})"},
      {event::downloadStartInfo{"https://u/p.dmg", 1},
       R"({"msg":{"datalen":0,"errno":0,"error":"","result":"","times":1,"url":"https://u/p.dmg"}})"},
      {event::downloadFinishedInfo{"u", 5000000000, 2},
       R"({"msg":{"datalen":5000000000,"errno":0,"error":"","result":"success","times":2,"url":"u"}})"},
      {event::md5ErrorInfo{"u"}, R"({"msg":{"url":"u"}})"},
      {event::downloadDataError{"u", -1005, "lost", 0, 3},
       R"({"msg":{"datalen":0,"errno":-1005,"error":"lost","result":"failed","times":3,"url":"u"}})"},
      {event::downloadDataError{"u", -1005, "lost", 7, 3},
       R"({"msg":{"datalen":7,"errno":-1005,"error":"lost","result":"failed","times":3,"url":"u"}})"},
      {event::startInstallInfo{"/Applications"}, R"({"msg":{"error":"none","path":"/Applications"}})"},
      {event::installSuccessInfo{"/A"}, R"({"msg":{"error":"none","path":"/A"}})"},
      {event::installFailedInfo{"/A", "boom"}, R"({"msg":{"error":"boom","path":"/A"}})"},
      {event::installClick{"English", "/A"}, R"({"msg":{"language":"English","path":"/A"}})"},
      {event::carouselFail{"https://c", "-1009"}, R"({"msg":{"error":"-1009","url":"https://c"}})"},
      {event::updateClick{"1.0", "2.0"}, R"({"msg":{"installedversion":"1.0","latestversion":"2.0"}})"},
      {event::skipUpdateClick{"1", "2"}, R"({"msg":{"installedversion":"1","latestversion":"2"}})"},
      {event::downloaderExitInfo{}, R"({"msg":{}})"},
      {event::customInstallClick{}, R"({"msg":{}})"},
      {event::startAppClick{}, R"({"msg":{}})"},
      {event::offlineDownloadClick{}, R"({"msg":{}})"},
      {event::reDownloadClick{}, R"({"msg":{}})"},
      {event::reInstallClick{}, R"({"msg":{}})"},
      {event::quitContinue{}, R"({"msg":{}})"},
      {event::quitQuit{}, R"({"msg":{}})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(attributesText(c.event), c.text) << eventName(c.event);
  }
}

TEST(ReportEventTest, ProbeResultsAreAnArrayInOrderWithSortedKeys) {
  event::downloaderNetworkInfo info{{{"https://b", "success", 0, "No error"},
                                     {"https://a", "failed", -1004, "cannot connect to host"},
                                     {"bad", "failed", -1, "bad url"}}};
  EXPECT_TRUE(fields(info).is_array());
  EXPECT_EQ(attributesText(info),
            R"({"msg":[{"errno":0,"error":"No error","result":"success","url":"https://b"},)"
            R"({"errno":-1004,"error":"cannot connect to host","result":"failed","url":"https://a"},)"
            R"({"errno":-1,"error":"bad url","result":"failed","url":"bad"}]})");
  EXPECT_EQ(attributesText(event::downloaderNetworkInfo{}), R"({"msg":[]})");
}

TEST(ReportEventTest, TextsAreEscapedAndUTF8Kept) {
  EXPECT_EQ(attributesText(event::installFailedInfo{"/a \"b\"\n", "\xc3\xa9\x01"}),
            "{\"msg\":{\"error\":\"\xc3\xa9\\u0001\",\"path\":\"/a \\\"b\\\"\\n\"}}");
}

TEST(ReportEventTest, InvalidUTF8FallsBackToAnEmptyMessage) {
  const std::string fallback = R"({"msg":{}})";
  EXPECT_EQ(fallback.size(), 10u);
  EXPECT_EQ(attributesText(event::md5ErrorInfo{"\xff"}), fallback);
  EXPECT_EQ(attributesText(event::installFailedInfo{"/ok", "trunc\xc3"}), fallback);
  EXPECT_EQ(attributesText(event::downloaderNetworkInfo{{{"\xc0\x80", "failed", -1, "x"}}}), fallback);
}

TEST(ReportEventTest, Equality) {
  EXPECT_EQ(ReportEvent(event::md5ErrorInfo{"a"}), ReportEvent(event::md5ErrorInfo{"a"}));
  EXPECT_NE(ReportEvent(event::md5ErrorInfo{"a"}), ReportEvent(event::md5ErrorInfo{"b"}));
  EXPECT_NE(ReportEvent(event::quitQuit{}), ReportEvent(event::quitContinue{}));
  EXPECT_NE(ReportEvent(event::startInstallInfo{"p"}), ReportEvent(event::installSuccessInfo{"p"}));
}

TEST(NetworkErrorDescriptionTest, KnownCodesAndFallback) {
  struct Case {
    int code;
    const char* text;
  };
  const Case cases[] = {
      {-999, "cancelled"},
      {-1001, "timed out"},
      {-1003, "cannot find host"},
      {-1006, "cannot find host"},
      {-1004, "cannot connect to host"},
      {-1005, "network connection lost"},
      {-1009, "not connected to internet"},
      {-1011, "bad server response"},
      {-1200, "secure connection failed"},
      {-1201, "server certificate rejected"},
      {-1202, "server certificate rejected"},
      {-1203, "server certificate rejected"},
      {-1204, "server certificate rejected"},
      {-1205, "network error -1205"},
      {-1002, "network error -1002"},
      {-1100, "network error -1100"},
      {0, "network error 0"},
      {42, "network error 42"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(networkErrorDescription(c.code), c.text) << c.code;
  }
}

TEST(LanguageDisplayNameTest, FixedNamesAndICUFallback) {
  struct Case {
    const char* code;
    const char* name;
  };
  const Case cases[] = {
      {"zh_Hant_TW", "Traditional Chinese"},
      {"zh-Hant", "Traditional Chinese"},
      {"zh-Hans", "Chinese"},
      {"zh", "Chinese"},
      {"zh_CN", "Chinese"},
      {"pt-BR", "Portuguese"},
      {"pt_PT", "Portuguese"},
      {"en", "English"},
      {"en_GB", "English"},
      {"de", "German"},
      {"es-419", "Spanish"},
      {"fr_CA", "French"},
      {"it", "Italian"},
      {"ja", "Japanese"},
      {"ko-KR", "Korean"},
      {"nl", "Dutch"},
      {"nb", "Norwegian"},
      {"sv", "Swedish"},          // from ICU
      {"sv_SE", "Swedish"},
      {"ru", "Russian"},
      {"qqq", "qqq"},             // no name: the language part itself
      {"qqq_XX", "qqq"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(languageDisplayName(c.code), c.name) << c.code;
  }
}

}  // namespace
}  // namespace installer
