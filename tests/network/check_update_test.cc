#include "network/check_update.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace installer {
namespace {

using namespace check_update_error;

template <typename T>
T expectError(const PackageLinkResult& result) {
  const auto* error = std::get_if<CheckUpdateError>(&result);
  EXPECT_NE(error, nullptr) << "expected an error, got a link";
  if (!error) return T{};
  const T* value = error->as<T>();
  EXPECT_NE(value, nullptr) << "got " << error->description();
  return value ? *value : T{};
}

PackageLink expectLink(const PackageLinkResult& result) {
  const auto* link = std::get_if<PackageLink>(&result);
  if (!link) {
    ADD_FAILURE() << "expected a link, got " << std::get<CheckUpdateError>(result).description();
    return PackageLink{*platform::URL::parse("https://invalid.example/"), {}, {}};
  }
  return *link;
}

TEST(ParsePackageLink, TrimsLinkAndMd5AndDropsEmptyVersion) {
  auto link = expectLink(parsePackageLink(
      R"({"status":0,"data":{"app_url":" https://host/pkg.dmg\n","md5":"  ABC ","version":""}})",
      200));
  EXPECT_EQ(link.url.absoluteString(), "https://host/pkg.dmg");
  EXPECT_EQ(link.md5, "ABC");  // letter case as sent
  EXPECT_EQ(link.version, std::nullopt);
}

TEST(ParsePackageLink, Sha256AndSignatureAreTrimmedAndAWrongTypeDropsOnlyThem) {
  auto link = expectLink(parsePackageLink(
      R"({"status":0,"data":{"app_url":"https://host/p.dmg","sha256":" AB12 ","signature":"c2ln\n"}})", 200));
  EXPECT_EQ(link.sha256, "AB12");
  EXPECT_EQ(link.signature, "c2ln");
  link = expectLink(parsePackageLink(
      R"({"status":0,"data":{"app_url":"https://host/p.dmg","md5":"m","sha256":5,"signature":[]}})", 200));
  EXPECT_EQ(link.md5, "m");
  EXPECT_EQ(link.sha256, std::nullopt);
  EXPECT_EQ(link.signature, std::nullopt);
}

TEST(ParsePackageLink, KeepsTrimmedVersionAndIgnoresUnknownMembers) {
  auto link = expectLink(parsePackageLink(
      R"({"status":0,"extra":[1,2],"reason":5,"data":{"app_url":"HTTPS://Host:8443/a?b=c",)"
      R"("version":"\t2.0.1\u2028","md5":null,"size":12}})",
      299));
  EXPECT_EQ(link.url.absoluteString(), "HTTPS://Host:8443/a?b=c");
  EXPECT_EQ(link.version, "2.0.1");
  EXPECT_EQ(link.md5, std::nullopt);
}

TEST(ParsePackageLink, StatusMayBeANumericString) {
  expectLink(parsePackageLink(R"({"status":"0","data":{"app_url":"https://h/p"}})", 200));
  expectLink(parsePackageLink(R"({"status":0.0,"data":{"app_url":"https://h/p"}})", 200));
  EXPECT_EQ(expectError<server>(parsePackageLink(R"({"status":"-7"})", 200)).message,
            "status -7");
  EXPECT_EQ(expectError<server>(parsePackageLink(R"({"status":"+7"})", 200)).message,
            "status 7");
}

TEST(ParsePackageLink, UnusableStatusFailsToDecode) {
  for (const char* body : {R"({"status":"ok","data":{"app_url":"https://h/p"}})",
                           R"({"data":{"app_url":"https://h/p"}})",
                           R"({"status":null})", R"({"status":" 0"})", R"({"status":"0 "})",
                           R"({"status":""})", R"({"status":"1e3"})", R"({"status":true})",
                           R"({"status":0.5})", R"({"status":"99999999999999999999"})",
                           R"({"status":18446744073709551615})", R"([0])", "0", "",
                           "not json", "{\"status\":0", "{\"status\":0,\"reason\":\"\xff\"}"}) {
    SCOPED_TRACE(body);
    expectError<decode>(parsePackageLink(body, 200));
  }
}

TEST(ParsePackageLink, LinkMustBeHttpsWithAHost) {
  for (const char* body : {R"({"status":0,"data":{"app_url":"http://host/p"}})",
                           R"({"status":0,"data":{"app_url":"https:///p"}})",
                           R"({"status":0,"data":{"app_url":"https:/p"}})",
                           R"({"status":0,"data":{"app_url":"  \n "}})",
                           R"({"status":0,"data":{"app_url":"pkg.dmg"}})",
                           R"({"status":0,"data":{"app_url":"https://ho st/p"}})",
                           R"({"status":0,"data":{"app_url":null}})",
                           R"({"status":0,"data":{}})", R"({"status":0,"data":null})",
                           R"({"status":0,"data":"https://h/p"})", R"({"status":0})"}) {
    SCOPED_TRACE(body);
    expectError<missingAppURL>(parsePackageLink(body, 200));
  }
}

TEST(ParsePackageLink, PayloadMemberOfWrongTypeDropsThePayload) {
  for (const char* body : {R"({"status":0,"data":{"app_url":"https://h/p","md5":123}})",
                           R"({"status":0,"data":{"app_url":"https://h/p","version":1}})",
                           R"({"status":0,"data":{"app_url":["https://h/p"]}})"}) {
    SCOPED_TRACE(body);
    expectError<missingAppURL>(parsePackageLink(body, 200));
  }
}

TEST(ParsePackageLink, NonZeroStatusUsesReasonOrNumber) {
  auto noReason = expectError<server>(parsePackageLink(R"({"status":3})", 200));
  EXPECT_EQ(noReason.message, "status 3");
  EXPECT_EQ(CheckUpdateError(noReason).description(), "server error: status 3");

  EXPECT_EQ(expectError<server>(parsePackageLink(R"({"status":3,"reason":""})", 200)).message,
            "");
  // A reason of the wrong type counts as absent; the payload is not looked at.
  EXPECT_EQ(expectError<server>(parsePackageLink(
                R"({"status":3,"reason":{"a":1},"data":{"app_url":"https://h/p"}})", 200))
                .message,
            "status 3");
}

TEST(ParsePackageLink, ReasonIsCutTo120UserPerceivedCharacters) {
  std::string ascii(300, 'r');
  auto cut = expectError<server>(
      parsePackageLink(nlohmann::json{{"status", 1}, {"reason", ascii}}.dump(), 200));
  EXPECT_EQ(cut.message, std::string(120, 'r'));

  // Multi-byte characters, a combining sequence and a flag each count as one.
  std::string unit = "\xC3\xA9"            // é (2 bytes)
                     "e\xCC\x81"           // e + combining acute
                     "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";  // 🇩🇪 (two code points)
  std::string reason;
  for (int i = 0; i < 100; ++i) reason += unit;  // 300 characters
  std::string expected;
  for (int i = 0; i < 40; ++i) expected += unit;  // the first 120
  cut = expectError<server>(
      parsePackageLink(nlohmann::json{{"status", 1}, {"reason", reason}}.dump(), 200));
  EXPECT_EQ(cut.message, expected);

  std::string exactly(120, 'x');
  EXPECT_EQ(expectError<server>(parsePackageLink(
                nlohmann::json{{"status", 1}, {"reason", exactly}}.dump(), 200))
                .message,
            exactly);
}

TEST(ParsePackageLink, ServerTextLosesControlAndDirectionalCharactersBeforeTheCut) {
  // A right-to-left override would show "evil" as "live"; a NUL would end
  // the text early; invalid UTF-8 becomes U+FFFD.
  const std::string rlo = "\xE2\x80\xAE", lri = "\xE2\x81\xA6", alm = "\xD8\x9C";
  std::string reason = rlo + "live" + lri + alm + "\xE2\x80\x8F" + std::string(1, '\0') + "\x1b[31m" +
                       "\r\n\x7f" + "\xC2\x85" + "ok";
  EXPECT_EQ(expectError<server>(parsePackageLink(
                nlohmann::json{{"status", 1}, {"reason", reason}}.dump(), 200))
                .message,
            "live[31mok");
  EXPECT_EQ(displayableText("a\xFF" "b"), "a\xEF\xBF\xBD" "b");

  // 200 formatting marks and 130 letters: the cut counts only what is left.
  std::string padded;
  for (int i = 0; i < 200; ++i) padded += rlo;
  padded += std::string(130, 'x');
  EXPECT_EQ(expectError<server>(parsePackageLink(
                nlohmann::json{{"status", 1}, {"reason", padded}}.dump(), 200))
                .message,
            std::string(120, 'x'));

  auto link = expectLink(parsePackageLink(
      nlohmann::json{{"status", 0}, {"data", {{"app_url", "https://h/p.dmg"}, {"version", rlo + "2.0"}}}}
          .dump(),
      200));
  EXPECT_EQ(link.version, "2.0");
}

TEST(ParsePackageLink, VersionsAndFileNamesThatCannotNameTheCacheFileAreUnexpected) {
  auto answer = [](const std::string& url, const std::string& version) {
    return parsePackageLink(
        nlohmann::json{{"status", 0}, {"data", {{"app_url", url}, {"version", version}}}}.dump(),
        200);
  };
  const std::string name200(200, 'n');
  struct Case {
    std::string url, version;
    bool accepted;
  };
  for (const Case& c : {
           Case{"https://h/p.dmg", std::string(64, '1'), true},
           Case{"https://h/p.dmg", std::string(65, '1'), false},
           Case{"https://h/p.dmg", std::string(10000, '1'), false},
           Case{"https://h/" + std::string(243, 'n') + ".dmg", "", true},  // 247 + ".partial"
           Case{"https://h/" + std::string(244, 'n') + ".dmg", "", false},
           Case{"https://h/" + std::string(300, 'n') + ".dmg", "", false},
           Case{"https://h/" + name200 + ".dmg", std::string(50, '1'), false},
       }) {
    SCOPED_TRACE(c.url.size());
    SCOPED_TRACE(c.version.size());
    auto result = answer(c.url, c.version);
    if (c.accepted) {
      expectLink(result);
    } else {
      expectError<decode>(result);
    }
  }
}

// Mirrors follow app_url, each held to its rules; one that breaks them
// refuses the whole answer, so no request ever goes to it.
TEST(ParsePackageLink, MirrorsAreFurtherHttpsSourcesOrTheAnswerIsRefused) {
  auto answer = [](nlohmann::json mirrors) {
    return parsePackageLink(
        nlohmann::json{{"status", 0}, {"data", {{"app_url", "https://a/p.dmg"}, {"mirrors", mirrors}}}}
            .dump(),
        200);
  };
  struct Case {
    const char* name;
    nlohmann::json mirrors;
    std::vector<std::string> sources;  // empty: refused with decode
  };
  const std::string longName = "https://b/" + std::string(244, 'n') + ".dmg";
  const Case cases[] = {
      {"none", nullptr, {"https://a/p.dmg"}},
      {"two, trimmed, duplicates dropped",
       {" https://b/p.dmg\n", "https://a/p.dmg", "HTTPS://c:8443/x", "https://b/p.dmg"},
       {"https://a/p.dmg", "https://b/p.dmg", "HTTPS://c:8443/x"}},
      {"an http mirror", {"https://b/p.dmg", "http://c/p.dmg"}, {}},
      {"no host", {"https:///p.dmg"}, {}},
      {"not text", {"https://b/p.dmg", 5}, {}},
      {"not a list", "https://b/p.dmg", {}},
      {"a name the cache cannot take", {longName}, {}},
      {"too many", {"https://b/1", "https://b/2", "https://b/3", "https://b/4", "https://b/5"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = answer(c.mirrors);
    if (c.sources.empty()) {
      expectError<decode>(result);
      continue;
    }
    std::vector<std::string> sources;
    for (const auto& source : expectLink(result).sources()) sources.push_back(source.absoluteString());
    EXPECT_EQ(sources, c.sources);
  }
}

// The chunk list travels as sent, for the install run to prove; a member
// of the wrong shape refuses the answer.
TEST(ParsePackageLink, ChunkListMembersAreKeptAsSentOrTheAnswerIsRefused) {
  struct Case {
    const char* name;
    nlohmann::json members;
    bool refused;
    std::optional<std::uint64_t> size;
    std::optional<std::string> chunks, chunksSignature;
  };
  const Case cases[] = {
      {"none", nlohmann::json::object(), false, {}, {}, {}},
      {"all three, untrimmed",
       {{"size", 268435456}, {"chunks", " 7Qp2\n"}, {"chunks_signature", "Hq0c=="}}, false, 268435456,
       " 7Qp2\n", "Hq0c=="},
      {"an empty package", {{"size", 0}, {"chunks", ""}}, false, 0, "", {}},
      {"null is none", {{"size", nullptr}, {"chunks", nullptr}, {"chunks_signature", nullptr}}, false, {}, {}, {}},
      {"the largest size", {{"size", INT64_MAX}}, false, std::uint64_t{INT64_MAX}, {}, {}},
      {"negative size", {{"size", -1}}, true, {}, {}, {}},
      {"size past int64", {{"size", std::uint64_t{INT64_MAX} + 1}}, true, {}, {}, {}},
      {"fractional size", {{"size", 1.5}}, true, {}, {}, {}},
      {"size as a float", {{"size", 1.0}}, true, {}, {}, {}},
      {"size as text", {{"size", "12"}}, true, {}, {}, {}},
      {"chunks not text", {{"chunks", 5}}, true, {}, {}, {}},
      {"signature not text", {{"chunks_signature", {"a"}}}, true, {}, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json data = c.members;
    data["app_url"] = "https://a/p.zip";
    auto result = parsePackageLink(nlohmann::json{{"status", 0}, {"data", data}}.dump(), 200);
    if (c.refused) {
      expectError<decode>(result);
      continue;
    }
    auto link = expectLink(result);
    EXPECT_EQ(link.size, c.size);
    EXPECT_EQ(link.chunks, c.chunks);
    EXPECT_EQ(link.chunksSignature, c.chunksSignature);
  }
}

TEST(ParsePackageLink, StatusOutside2xxIsBadStatusWhateverTheBody) {
  auto notFound = expectError<badStatus>(
      parsePackageLink(R"({"status":0,"data":{"app_url":"https://h/p"}})", 404));
  EXPECT_EQ(notFound.statusCode, 404);
  EXPECT_EQ(CheckUpdateError(notFound).description(), "HTTP 404");
  EXPECT_EQ(expectError<badStatus>(parsePackageLink("", 199)).statusCode, 199);
  EXPECT_EQ(expectError<badStatus>(parsePackageLink("", 300)).statusCode, 300);
  EXPECT_EQ(expectError<badStatus>(parsePackageLink("", 0)).statusCode, 0);
}

TEST(ParsePackageLink, EmptyBodyWith200FailsToDecode) {
  auto result = parsePackageLink("", 200);
  expectError<decode>(result);
  EXPECT_EQ(std::get<CheckUpdateError>(result).description(),
            "unexpected response from the update server");
}

TEST(CheckUpdateErrorTest, DescriptionsAndEquality) {
  EXPECT_EQ(CheckUpdateError(badStatus{502}).description(), "HTTP 502");
  EXPECT_EQ(CheckUpdateError(server{"down"}).description(), "server error: down");
  EXPECT_EQ(CheckUpdateError(network{"offline", -1009}).description(), "offline");
  EXPECT_STREQ(CheckUpdateError(missingAppURL{}).what(), "server did not return a download URL");

  EXPECT_EQ(CheckUpdateError(network{"a", -1009}), CheckUpdateError(network{"a", -1009}));
  EXPECT_NE(CheckUpdateError(network{"a", -1009}), CheckUpdateError(network{"a", std::nullopt}));
  EXPECT_NE(CheckUpdateError(badStatus{500}), CheckUpdateError(badStatus{501}));
  EXPECT_NE(CheckUpdateError(missingAppURL{}), CheckUpdateError(decode{}));
}

TEST(CheckUpdateRequestTest, EncodesSevenMembersCompactly) {
  CheckUpdateRequest request{"u-1", "1.2.3", "macos", "14.2.1", "ja", "app\"x", "x64"};
  auto body = encodeCheckUpdateRequest(request);
  ASSERT_TRUE(body);
  EXPECT_EQ(*body,
            R"({"uid":"u-1","version":"1.2.3","os":"macos","os_version":"14.2.1",)"
            R"("lang":"ja","app":"app\"x","cpu":"x64"})");

  CheckUpdateRequest defaults;
  auto json = nlohmann::json::parse(*encodeCheckUpdateRequest(defaults));
  EXPECT_EQ(json.size(), 7u);
  EXPECT_EQ(json["os"], "macos");
  EXPECT_EQ(json["cpu"], "x64");
  EXPECT_EQ(json["uid"], "");

  request.uid = "bad \xC3";  // truncated UTF-8 cannot be encoded
  EXPECT_EQ(encodeCheckUpdateRequest(request), std::nullopt);
}

TEST(TextHelpers, TrimAndPrefix) {
  EXPECT_EQ(trimWhitespaceAndNewlines(" \t\r\n a b \xC2\xA0\xE3\x80\x80"), "a b");
  EXPECT_EQ(trimWhitespaceAndNewlines("\n\n"), "");
  EXPECT_EQ(trimWhitespaceAndNewlines("\xFF x \xFF"), "\xFF x \xFF");
  EXPECT_EQ(prefixCharacters("", 3), "");
  EXPECT_EQ(prefixCharacters("ab", 3), "ab");
  EXPECT_EQ(prefixCharacters("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 2), "\xE6\x97\xA5\xE6\x9C\xAC");
  EXPECT_EQ(prefixCharacters("abc", 0), "");
}

}  // namespace
}  // namespace installer
