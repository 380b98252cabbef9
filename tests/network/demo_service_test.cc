#include "publish/demo_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "network/check_update.h"
#include "proof/integrity.h"
#include "proof/package_signature.h"
#include "platform/http_client.h"
#include "platform/system_info.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using demo::DemoService;
using demo::DemoServiceOptions;

class DemoServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("demo-root-" + platform::makeUUID());
    fs::create_directories(root_);
    content_.resize(200000);
    for (std::size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<char>(i * 7);
    std::ofstream(root_ / "pkg.dmg", std::ios::binary) << content_;
  }
  void TearDown() override {
    service_.reset();
    fs::remove_all(root_);
  }
  void start(DemoServiceOptions options = {}) {
    options.packageRoot = root_;
    service_ = std::make_unique<DemoService>(options);
    std::string error;
    ASSERT_TRUE(service_->start(&error)) << error;
  }
  platform::HttpResult get(const std::string& path, platform::HttpHeaders headers = {}) {
    platform::HttpRequest request;
    request.url = service_->url(path);
    request.headers = std::move(headers);
    request.caBundlePath = service_->caBundlePath().string();
    return client_.perform(request);
  }
  static platform::HttpResponse ok(const platform::HttpResult& result) {
    if (const auto* error = std::get_if<platform::HttpError>(&result)) {
      ADD_FAILURE() << error->message;
      return {};
    }
    return std::get<platform::HttpResponse>(result);
  }

  fs::path root_;
  std::string content_;
  std::unique_ptr<DemoService> service_;
  platform::CurlHttpClient client_;
};

TEST_F(DemoServiceTest, AnswersTheUpdateCheckFromMemoryOrFile) {
  fs::path answerFile = root_ / "answer.json";
  std::ofstream(answerFile) << R"({"status":0,"data":{"app_url":"{{base_url}}/packages/pkg.dmg"}})";
  DemoServiceOptions options;
  options.answerFile = answerFile;
  start(options);

  platform::HttpRequest check;
  check.method = "POST";
  check.url = service_->checkUpdateURL();
  check.body = R"({"uid":"u"})";
  check.headers = {{"Content-Type", "application/json"}};
  check.caBundlePath = service_->caBundlePath().string();
  const auto fromFile = ok(client_.perform(check));
  auto link = parsePackageLink(fromFile.body, static_cast<int>(fromFile.status));
  ASSERT_TRUE(std::holds_alternative<PackageLink>(link));
  EXPECT_EQ(std::get<PackageLink>(link).url.absoluteString(), service_->url("/packages/pkg.dmg"));

  service_->setAnswer({500, ""});
  EXPECT_EQ(ok(client_.perform(check)).status, 500);
  ASSERT_EQ(service_->checkRequestCount(), 2u);
  auto recorded = service_->checkRequests()[0];
  EXPECT_EQ(recorded.method, "POST");
  EXPECT_EQ(recorded.body, R"({"uid":"u"})");
  EXPECT_EQ(recorded.header("content-type"), "application/json");
}

// Given a key, the service adds the linked package's SHA-256 and
// signature to the answer, and they prove that very package.
TEST_F(DemoServiceTest, SignsThePackageItLinksTo) {
  auto keys = generateSigningKeyPair();
  DemoServiceOptions options;
  options.signingSecretKey = keys.secretKey;
  start(options);
  service_->setAnswer({200, R"({"status":0,"data":{"app_url":"{{base_url}}/packages/pkg.dmg"}})"});
  platform::HttpRequest check;
  check.method = "POST";
  check.url = service_->checkUpdateURL();
  check.caBundlePath = service_->caBundlePath().string();
  const auto answer = ok(client_.perform(check));
  auto result = parsePackageLink(answer.body, static_cast<int>(answer.status));
  ASSERT_TRUE(std::holds_alternative<PackageLink>(result));
  const auto& link = std::get<PackageLink>(result);
  ASSERT_TRUE(link.sha256 && link.signature);
  PackageExpectations expected{.sha256 = link.sha256, .signature = link.signature,
                               .signingKey = base64Encode(keys.publicKey)};
  EXPECT_NO_THROW(verifyDigests(digestFile(root_ / "pkg.dmg", expected.kinds()), expected));
}

TEST_F(DemoServiceTest, ServesPackagesWithRangesGuardedByIfRange) {
  start();
  const auto whole = ok(get("/packages/pkg.dmg"));
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, content_);
  auto etag = platform::headerValue(whole.headers, "ETag");
  ASSERT_TRUE(etag);

  const auto tail = ok(get("/packages/pkg.dmg", {{"Range", "bytes=150000-"}, {"If-Range", *etag}}));
  EXPECT_EQ(tail.status, 206);
  EXPECT_EQ(tail.body, content_.substr(150000));
  EXPECT_EQ(platform::headerValue(tail.headers, "Content-Range"), "bytes 150000-199999/200000");

  const auto stale = ok(get("/packages/pkg.dmg", {{"Range", "bytes=150000-"}, {"If-Range", "\"old\""}}));
  EXPECT_EQ(stale.status, 200);
  EXPECT_EQ(stale.body, content_);

  const auto middle = ok(get("/packages/pkg.dmg", {{"Range", "bytes=10-19"}}));
  EXPECT_EQ(middle.status, 206);
  EXPECT_EQ(middle.body, content_.substr(10, 10));

  EXPECT_EQ(ok(get("/packages/pkg.dmg", {{"Range", "bytes=200000-"}})).status, 416);
  EXPECT_EQ(ok(get("/packages/missing.dmg")).status, 404);
  EXPECT_EQ(ok(get("/packages/../answer.json")).status, 404);
  EXPECT_EQ(ok(get("/packages/%2e%2e/pkg.dmg")).status, 404);
}

TEST_F(DemoServiceTest, ThrottlePacesTheBody) {
  DemoServiceOptions options;
  options.throttleBytesPerSecond = 400000;  // 200 kB take about half a second
  start(options);
  auto started = std::chrono::steady_clock::now();
  const auto whole = ok(get("/packages/pkg.dmg"));
  EXPECT_EQ(whole.body, content_);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
}

TEST(DemoArguments, ParsesFlags) {
  std::string error;
  auto options = demo::parseDemoArguments(
      {"--port", "8443", "--root", "/srv", "--answer", "a.json", "--throttle", "1000",
       "--ca-out", "/tmp/ca"},
      &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->port, 8443);
  EXPECT_EQ(options->packageRoot, "/srv");
  EXPECT_EQ(options->answerFile, fs::path("a.json"));
  EXPECT_EQ(options->throttleBytesPerSecond, 1000);
  EXPECT_EQ(options->certificateDirectory, "/tmp/ca");
  EXPECT_FALSE(demo::parseDemoArguments({"--port", "x"}, &error));
  EXPECT_FALSE(demo::parseDemoArguments({"--bogus", "1"}, &error));
  EXPECT_FALSE(demo::parseDemoArguments({"--root"}, &error));
}

}  // namespace
}  // namespace installer
