#include "install/package_cache.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "install/event_recorder.h"
#include "proof/integrity.h"
#include "support/loopback_file_server.h"
#include "support/package_fixtures.h"
#include "support/scoped_temp_home.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace installer {
namespace {

using namespace std::chrono_literals;
using testing::randomBytes;
using testing::readFile;
using testing::EventRecorder;
using testing::LoopbackFileServer;
using testing::ServedFile;
using Events = std::vector<std::pair<std::string, std::string>>;

platform::URL url(const std::string& text) { return *platform::URL::parse(text); }

std::string upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST(PackageCacheNamesTest, FileNamesCarryTheFilteredVersion) {
  auto link = url("https://h/files/pkg.dmg");
  EXPECT_EQ(cacheFileName(link, std::string("1.0 beta/2")), "1.0beta2-pkg.dmg");
  EXPECT_EQ(cacheFileName(link, std::string("2.1.0")), "2.1.0-pkg.dmg");
  EXPECT_EQ(cacheFileName(link, std::string("v_1-rc")), "v_1-rc-pkg.dmg");
  EXPECT_EQ(cacheFileName(link, std::string("版本 3")), "版本3-pkg.dmg");
  EXPECT_EQ(cacheFileName(link, std::string(" /:")), "pkg.dmg");
  EXPECT_EQ(cacheFileName(link, std::nullopt), "pkg.dmg");
  EXPECT_EQ(cacheFileName(url("https://h/get.php"), std::string("1")), "1-get.php.dmg");
}

TEST(PackageCacheNamesTest, CacheDirectoryAndPruning) {
  testing::ScopedTempHome home;
  EXPECT_EQ(packageCacheDirectory("com.example.installer"), home.dataHome() / "com.example.installer");
  EXPECT_EQ(packageCacheDirectory(""), home.dataHome() / "installer");

  auto dir = home.dataHome() / "cache";
  std::filesystem::create_directories(dir / "sub");
  for (auto name : {"old.dmg", "keep.dmg", ".hidden", "x.partial"}) std::ofstream(dir / name) << "x";
  prunePackageCache(dir, dir / "." / "keep.dmg");
  std::vector<std::string> left;
  for (auto& e : std::filesystem::directory_iterator(dir)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".hidden", "keep.dmg"}));
}

class PackageDownloadStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.start();
    ASSERT_NE(server_.server().port(), 0);
    data_ = randomBytes(2'500'000, 11);
    md5_ = md5Of(data_);
    server_.setFile("/pkg.dmg", ServedFile{.content = data_, .etag = "\"1\""});
  }

  std::string md5Of(const std::string& data) {
    auto path = home_.tmp() / "md5-input";
    std::ofstream(path, std::ios::binary) << data;
    return md5Hex(path);
  }

  std::unique_ptr<PackageDownloadStep> makeStep() {
    PackageDownloadStep::Options o;
    o.cacheDirectory = cacheDir();
    o.workingDirectory = home_.tmp() / "work";
    o.downloader.caBundlePath = server_.caBundlePath();
    o.downloader.idleTimeout = 5s;
    o.reporter = &events_.reporter();
    return std::make_unique<PackageDownloadStep>(std::move(o));
  }

  std::filesystem::path cacheDir() const { return home_.dataHome() / "com.example.installer"; }

  // Runs the step; returns the file or the failure.
  std::variant<std::filesystem::path, InstallFailure> run(
      PackageDownloadStep& step, const std::string& path, std::optional<std::string> version,
      std::optional<std::string> md5) {
    stages_.clear();
    PackageDownloadStep::Hooks hooks;
    hooks.postStage = [this](InstallStage s) { stages_.push_back(s); };
    try {
      return step.run(url(server_.url(path)), version, md5, hooks);
    } catch (const FailureBox& box) {
      return box.failure();
    }
  }

  testing::ScopedTempHome home_;
  LoopbackFileServer server_;
  EventRecorder events_;
  std::vector<InstallStage> stages_;
  std::string data_;
  std::string md5_;
};

TEST_F(PackageDownloadStepTest, ASecondRunReusesTheCachedPackageQuietly) {
  auto step = makeStep();
  auto first = run(*step, "/pkg.dmg", "1.0 beta/2", md5_);
  ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(first));
  auto file = std::get<std::filesystem::path>(first);
  EXPECT_EQ(file, cacheDir() / "1.0beta2-pkg.dmg");
  EXPECT_EQ(readFile(file), data_);
  EXPECT_TRUE(step->checksumVerified());
  EXPECT_EQ(stages_, std::vector<InstallStage>{InstallStage::downloading});
  const std::string link = server_.url("/pkg.dmg");
  EXPECT_EQ(events_.events(),
            (Events{{"DownloadStartInfo", R"({"msg":{"datalen":0,"errno":0,"error":"","result":"",)"
                                           R"("times":1,"url":")" + link + R"("}})"},
                    {"DownloadFinishedInfo", R"({"msg":{"datalen":2500000,"errno":0,"error":"",)"
                                              R"("result":"success","times":1,"url":")" + link + R"("}})"}}));

  // A later installer process (a new step) with the same link.
  events_.clear();
  auto again = makeStep();
  auto second = run(*again, "/pkg.dmg", "1.0 beta/2", upper(md5_));
  ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(second));
  EXPECT_EQ(std::get<std::filesystem::path>(second), file);
  EXPECT_TRUE(again->checksumVerified());
  EXPECT_TRUE(stages_.empty());
  EXPECT_TRUE(events_.events().empty());
  EXPECT_EQ(server_.requestsFor("/pkg.dmg").size(), 1u);
}

TEST_F(PackageDownloadStepTest, ACorruptedCachedPackageIsDownloadedAgain) {
  auto step = makeStep();
  ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(run(*step, "/pkg.dmg", "2", md5_)));
  auto file = cacheDir() / "2-pkg.dmg";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "garbage";
  auto result = run(*step, "/pkg.dmg", "2", md5_);
  ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(result));
  EXPECT_EQ(readFile(file), data_);
  EXPECT_EQ(stages_, std::vector<InstallStage>{InstallStage::downloading});
  EXPECT_EQ(server_.requestsFor("/pkg.dmg").size(), 2u);

  // Without an expected checksum any cached file counts.
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "anything";
  auto unchecked = run(*step, "/pkg.dmg", "2", std::nullopt);
  ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(unchecked));
  EXPECT_EQ(readFile(file), "anything");
  EXPECT_EQ(server_.requestsFor("/pkg.dmg").size(), 2u);
}

TEST_F(PackageDownloadStepTest, AttemptsCountPerURLAndFailuresAreReported) {
  server_.setStatus("/missing.dmg", 404);
  auto step = makeStep();
  const std::string missing = server_.url("/missing.dmg");
  for (int attempt = 1; attempt <= 3; ++attempt) {
    events_.clear();
    auto result = run(*step, "/missing.dmg", std::nullopt, std::nullopt);
    ASSERT_TRUE(std::holds_alternative<InstallFailure>(result));
    EXPECT_EQ(std::get<InstallFailure>(result), InstallFailure(failure::network{"HTTP 404"}));
    EXPECT_EQ(events_.events(),
              (Events{{"DownloadStartInfo", R"({"msg":{"datalen":0,"errno":0,"error":"","result":"",)"
                                             R"("times":)" + std::to_string(attempt) + R"(,"url":")" +
                                             missing + R"("}})"},
                      {"NoDownloadDataErrInfo", R"({"msg":{"datalen":0,"errno":404,"error":"HTTP 404",)"
                                                R"("result":"failed","times":)" + std::to_string(attempt) +
                                                R"(,"url":")" + missing + R"("}})"}}));
  }
  events_.clear();
  ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(run(*step, "/pkg.dmg", "1", md5_)));
  EXPECT_EQ(events_.events().front(),
            Events::value_type("DownloadStartInfo", R"({"msg":{"datalen":0,"errno":0,"error":"","result":"",)"
                                                    R"("times":1,"url":")" + server_.url("/pkg.dmg") + R"("}})"));
}

TEST_F(PackageDownloadStepTest, AWrongChecksumDeletesTheNewFile) {
  auto step = makeStep();
  auto result = run(*step, "/pkg.dmg", "3", std::string("0123456789abcdef0123456789abcdef"));
  ASSERT_TRUE(std::holds_alternative<InstallFailure>(result));
  std::string detail = "md5 mismatch: expected 0123456789abcdef0123456789abcdef, got " + md5_;
  EXPECT_EQ(std::get<InstallFailure>(result), InstallFailure(failure::verifyFailed{detail}));
  EXPECT_FALSE(std::filesystem::exists(cacheDir() / "3-pkg.dmg"));
  const std::string link = server_.url("/pkg.dmg");
  EXPECT_EQ(events_.events(),
            (Events{{"DownloadStartInfo", R"({"msg":{"datalen":0,"errno":0,"error":"","result":"",)"
                                           R"("times":1,"url":")" + link + R"("}})"},
                    {"MD5ErrorInfo", R"({"msg":{"url":")" + link + R"("}})"},
                    {"PartDownloadDataErrInfo", R"({"msg":{"datalen":2500000,"errno":-1,"error":")" + detail +
                                                    R"(","result":"failed","times":1,"url":")" + link + R"("}})"}}));
}

TEST_F(PackageDownloadStepTest, ACutDownloadResumesOnTheNextRun) {
  ServedFile file{.content = data_, .etag = "\"1\""};
  file.dropAfter = 1'000'000;  // 40%
  server_.setFile("/pkg.dmg", file);
  auto step = makeStep();
  auto first = run(*step, "/pkg.dmg", "4", md5_);
  ASSERT_TRUE(std::holds_alternative<InstallFailure>(first));
  EXPECT_EQ(failureCaseName(std::get<InstallFailure>(first)), "network");
  auto events = events_.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].first, "PartDownloadDataErrInfo");
  EXPECT_NE(events[1].second.find("\"errno\":-1005"), std::string::npos) << events[1].second;
  EXPECT_FALSE(std::filesystem::exists(cacheDir() / "4-pkg.dmg"));

  file.dropAfter.reset();
  server_.setFile("/pkg.dmg", file);
  auto second = run(*step, "/pkg.dmg", "4", md5_);
  ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(second));
  EXPECT_EQ(md5Hex(std::get<std::filesystem::path>(second)), md5_);
  auto requests = server_.requestsFor("/pkg.dmg");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "bytes=1000000-");
  EXPECT_EQ(step->downloadAttempts(), 2);
}

TEST_F(PackageDownloadStepTest, ANewVersionReplacesTheOldCachedOne) {
  auto step = makeStep();
  ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(run(*step, "/pkg.dmg", "1.0", md5_)));
  ASSERT_TRUE(std::filesystem::exists(cacheDir() / "1.0-pkg.dmg"));
  ASSERT_TRUE(std::holds_alternative<std::filesystem::path>(run(*step, "/pkg.dmg", "1.1", md5_)));
  EXPECT_TRUE(std::filesystem::exists(cacheDir() / "1.1-pkg.dmg"));
  EXPECT_FALSE(std::filesystem::exists(cacheDir() / "1.0-pkg.dmg"));
}

TEST_F(PackageDownloadStepTest, CancelEndsTheRunWithCancelledAndNoFailureEvent) {
  ServedFile file{.content = data_, .etag = "\"1\""};
  file.bytesPerSecond = 1'000'000;
  server_.setFile("/slow.dmg", file);
  auto step = makeStep();
  std::thread canceller([&] {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (server_.bytesSent() < 100'000 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    step->cancel();
  });
  auto result = run(*step, "/slow.dmg", std::nullopt, std::nullopt);
  canceller.join();
  ASSERT_TRUE(std::holds_alternative<InstallFailure>(result));
  EXPECT_EQ(std::get<InstallFailure>(result), InstallFailure(failure::cancelled{}));
  EXPECT_EQ(events_.events().size(), 1u);  // only downloadStartInfo
  EXPECT_GT(step->lastReceived(), 0);
}

}  // namespace
}  // namespace installer
