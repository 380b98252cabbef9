// Downloads that survive cut, stalled and changing servers and a quit in
// the middle, and packages that must prove where they came from, against
// real loopback HTTPS servers.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "install/event_recorder.h"
#include "install/package_cache.h"
#include "install/streamed_package.h"
#include "proof/chunk_list.h"
#include "proof/integrity.h"
#include "proof/package_signature.h"
#include "support/loopback_file_server.h"
#include "support/package_fixtures.h"
#include "support/scoped_temp_home.h"
#include "support/reference_digest.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace installer {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackFileServer;
using testing::randomBytes;
using testing::readFile;
using testing::ServedFile;
using Outcome = std::variant<std::filesystem::path, InstallFailure>;

platform::URL url(const std::string& text) { return *platform::URL::parse(text); }

std::string referenceDigest(const std::string& data, const EVP_MD* kind) {
  return testing::referenceHexDigest(data, kind);
}

std::string failureText(const Outcome& outcome) {
  if (auto* f = std::get_if<InstallFailure>(&outcome)) return failureCaseName(*f) + " " + failureDetail(*f);
  return "installed";
}

class DownloadResilienceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.start();
    ASSERT_NE(server_.server().port(), 0);
    data_ = randomBytes(4'000'000, 31);
    md5_ = referenceDigest(data_, EVP_md5());
  }

  PackageDownloadStep::Options options() {
    PackageDownloadStep::Options o;
    o.cacheDirectory = cacheDir();
    o.workingDirectory = home_.tmp() / "work";
    o.downloader.caBundlePath = server_.caBundlePath();
    // Long: a sanitizer build among a busy machine's builds can go
    // seconds without a byte; stalls are told by the clock instead.
    o.downloader.idleTimeout = 30s;
    o.reporter = &events_.reporter();
    o.retryDelays = {10ms, 20ms, 40ms};
    o.jitter = [] { return 1.0; };
    return o;
  }

  std::filesystem::path cacheDir() const { return home_.dataHome() / "com.example.installer"; }

  Outcome run(PackageDownloadStep& step, const std::string& path, const PackageExpectations& expected,
              std::optional<std::string> version = std::string("1")) {
    PackageDownloadStep::Hooks hooks;
    hooks.postProgress = [this](const TransferProgress& p) {
      std::lock_guard lock(mu_);
      progress_.push_back(p.received);
    };
    try {
      return step.run(url(server_.url(path)), version, expected, hooks);
    } catch (const FailureBox& box) {
      return box.failure();
    }
  }

  std::vector<std::string> cacheEntries() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(cacheDir(), ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  int eventCount(const ReportEvent& kind) const {
    int n = 0;
    for (auto& [name, attributes] : events_.events()) n += name == eventName(kind);
    return n;
  }

  testing::ScopedTempHome home_;
  // Outlive the server, whose stalled answers may still count themselves.
  std::atomic<int> unansweredStalls_{0};
  std::atomic<std::int64_t> skippedMs_{0};
  LoopbackFileServer server_;
  testing::EventRecorder events_;
  std::mutex mu_;
  std::vector<std::int64_t> progress_;
  std::string data_, md5_;
};

// Each fault hits one download step with automatic resumes: what the user
// sees at the end, and how many requests it took.
TEST_F(DownloadResilienceTest, TransientFaultsResumeByThemselves) {
  std::mt19937 random(7);
  auto at = [&](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random);
  };
  struct Case {
    std::string name;
    ServedFile file;
    std::string outcome;
    std::size_t requests;
    std::function<void(LoopbackFileServer&)> whileWaiting = nullptr;
  };
  std::vector<Case> cases = {
      {"drops at random bytes",
       ServedFile{.content = data_, .etag = "\"1\"", .faults = {at(1000, 900'000), at(1000, 900'000), at(1000, 900'000)}},
       "installed", 4},
      {"stalls", ServedFile{.content = data_, .etag = "\"1\"", .faults = {700'000, 900'000}, .faultsStall = true},
       "installed", 3},
      {"ignores Range", ServedFile{.content = data_, .etag = "\"1\"", .honourRange = false, .faults = {1'500'000}},
       "installed", 2},
      {"one drop too many",
       ServedFile{.content = data_, .etag = "\"1\"", .faults = {100'000, 100'000, 100'000, 100'000}},
       "network ", 4},
      {"file changes between attempts", ServedFile{.content = data_, .etag = "\"1\"", .faults = {1'000'000}},
       "network the file on the server has changed", 2,
       [this](LoopbackFileServer& s) {
         s.setFile("/case4.dmg", ServedFile{.content = randomBytes(4'000'000, 99), .etag = "\"2\""});
       }},
      {"HTTP error", ServedFile{}, "network HTTP 500", 1},
  };
  // A stall is found by the download's idle limit. The download's clock
  // runs fast from the moment the server stalls until the step gives up
  // and waits to try again: the limit is reached there at once, and never
  // in a healthy transfer, however slow the machine.
  server_.setOnStall([this] { ++unansweredStalls_; });
  server_.setStatus("/case5.dmg", 500);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    auto& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string path = "/case" + std::to_string(i) + ".dmg";
    server_.setFile(path, c.file);
    events_.clear();
    progress_.clear();
    auto o = options();
    o.downloader.clock = [this] {
      if (unansweredStalls_.load() > 0) skippedMs_ += 5'000;
      return std::chrono::steady_clock::now() + std::chrono::milliseconds(skippedMs_.load());
    };
    o.jitter = [&] {
      if (unansweredStalls_.load() > 0) --unansweredStalls_;
      if (c.whileWaiting) c.whileWaiting(server_);
      return 1.0;
    };
    PackageDownloadStep step(o);
    PackageExpectations expected{.md5 = md5_};
    auto outcome = run(step, path, expected);
    EXPECT_EQ(failureText(outcome).substr(0, c.outcome.size()), c.outcome) << failureText(outcome);
    EXPECT_EQ(server_.requestsFor(path).size(), c.requests);
    EXPECT_EQ(step.downloadAttempts(), static_cast<int>(c.requests));
    EXPECT_EQ(eventCount(event::downloadStartInfo{}), static_cast<int>(c.requests));
    if (c.outcome == "installed") {
      EXPECT_EQ(referenceDigest(readFile(std::get<std::filesystem::path>(outcome)), EVP_md5()), md5_);
      std::lock_guard lock(mu_);
      // Progress carries on from where a cut left it, except when the
      // server insists on sending everything again.
      if (c.file.honourRange) {
        for (std::size_t k = 1; k < progress_.size(); ++k) EXPECT_GE(progress_[k], progress_[k - 1]);
      }
    } else {
      EXPECT_FALSE(std::filesystem::exists(cacheDir() / ("1-" + path.substr(1))));
    }
  }
}

TEST_F(DownloadResilienceTest, CancelDuringTheWaitEndsAtOnce) {
  server_.setFile("/pkg.dmg", ServedFile{.content = data_, .etag = "\"1\"", .faults = {500'000}});
  auto o = options();
  o.retryDelays = {30s};
  platform::Semaphore waiting;
  o.jitter = [&] {
    waiting.signal();
    return 1.0;
  };
  PackageDownloadStep step(o);
  std::thread canceller([&] {
    if (waiting.waitFor(20s)) std::this_thread::sleep_for(50ms);
    step.cancel();
  });
  auto began = std::chrono::steady_clock::now();
  auto outcome = run(step, "/pkg.dmg", {.md5 = md5_});
  canceller.join();
  EXPECT_EQ(failureText(outcome), "cancelled ");
  EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
}

// The user quits at 60%; the next launch fetches only the rest.
TEST_F(DownloadResilienceTest, AQuitAt60PercentResumesAtTheNextLaunch) {
  const std::string big = randomBytes(30'000'000, 32);
  const std::int64_t size = static_cast<std::int64_t>(big.size());
  server_.setFile("/big.dmg", ServedFile{.content = big, .etag = "\"1\"", .bytesPerSecond = 20'000'000});
  PackageExpectations expected{.md5 = referenceDigest(big, EVP_md5())};
  {
    PackageDownloadStep first(options());
    std::thread quitter([&] {
      auto deadline = std::chrono::steady_clock::now() + 20s;
      while (server_.bytesSent() < size * 6 / 10 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      first.cancel();
    });
    EXPECT_EQ(failureText(run(first, "/big.dmg", expected)), "cancelled ");
    quitter.join();
  }
  // Nothing half-written passes for the package.
  EXPECT_EQ(cacheEntries(), (std::vector<std::string>{".partial-download", "1-big.dmg.partial"}));
  // What the user downloads is theirs alone.
  auto mode = [](const std::filesystem::path& p) {
    return static_cast<unsigned>(std::filesystem::status(p).permissions());
  };
  EXPECT_EQ(mode(cacheDir()), 0700u);
  EXPECT_EQ(mode(cacheDir() / ".partial-download"), 0600u);
  EXPECT_EQ(mode(cacheDir() / "1-big.dmg.partial"), 0600u);
  const auto kept = static_cast<std::int64_t>(std::filesystem::file_size(cacheDir() / "1-big.dmg.partial"));
  EXPECT_GT(kept, 0);

  // Exactly the rest goes over the wire (what the first run's server had
  // sent but the socket still held when it quit is not counted here).
  const std::int64_t sentBefore = server_.bytesSent();
  PackageDownloadStep second(options());
  auto outcome = run(second, "/big.dmg", expected);
  ASSERT_EQ(failureText(outcome), "installed");
  EXPECT_EQ(readFile(std::get<std::filesystem::path>(outcome)), big);
  auto requests = server_.requestsFor("/big.dmg");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(kept) + "-");
  EXPECT_EQ(server_.bytesSent() - sentBefore, size - kept);
  EXPECT_EQ(cacheEntries(), (std::vector<std::string>{"1-big.dmg"}));
}

// A kept partial download is dropped when it is too old, belongs to
// another link or its record is unreadable; a record naming a file outside
// the cache never touches that file. The new download starts from the
// first byte.
TEST_F(DownloadResilienceTest, AStaleForeignOrBrokenPartialIsRemoved) {
  const auto outsider = home_.tmp() / "precious.partial";
  struct Case {
    const char* name;
    std::chrono::hours age;
    std::string path;
    std::function<void(const std::filesystem::path& record)> tamper = nullptr;
  };
  const std::vector<Case> cases = {
      {"8 days old", 24h * 8, "/pkg.dmg"},
      {"other link", 0h, "/other.dmg"},
      {"truncated record", 0h, "/pkg.dmg",
       [](const std::filesystem::path& record) { std::filesystem::resize_file(record, 10); }},
      {"saved at a time beyond the clock", 0h, "/pkg.dmg",
       [](const std::filesystem::path& record) {
         std::string text = readFile(record);
         auto at = text.find("\"savedAt\":");
         ASSERT_NE(at, std::string::npos);
         at += 10;
         text.replace(at, text.find_first_not_of("0123456789", at) - at, "17992999000");
         testing::writeFile(record, text);
       }},
      {"record naming a file elsewhere", 0h, "/pkg.dmg",
       [&](const std::filesystem::path& record) {
         std::string text = readFile(record);
         auto at = text.find((cacheDir() / "1-pkg.dmg.partial").string());
         ASSERT_NE(at, std::string::npos);
         text.replace(at, (cacheDir() / "1-pkg.dmg.partial").string().size(), outsider.string());
         testing::writeFile(record, text);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(cacheDir());
    testing::writeFile(outsider, "not ours");
    server_.setFile("/pkg.dmg", ServedFile{.content = data_, .etag = "\"1\"", .faults = {1'000'000}});
    server_.setFile("/other.dmg", ServedFile{.content = data_, .etag = "\"1\""});
    auto o = options();
    o.retryDelays.clear();
    {
      PackageDownloadStep first(o);
      EXPECT_EQ(failureText(run(first, "/pkg.dmg", {.md5 = md5_})).rfind("network", 0), 0u);
    }
    ASSERT_TRUE(std::filesystem::exists(cacheDir() / "1-pkg.dmg.partial"));
    if (c.tamper) c.tamper(cacheDir() / ".partial-download");
    auto now = std::chrono::system_clock::now() + c.age;
    o.wallClock = [now] { return now; };
    PackageDownloadStep later(o);
    const auto before = server_.requestsFor(c.path).size();
    ASSERT_EQ(failureText(run(later, c.path, {.md5 = md5_})), "installed");
    auto requests = server_.requestsFor(c.path);
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().range, "");
    EXPECT_EQ(cacheEntries(), (std::vector<std::string>{"1-" + c.path.substr(1)}));
    EXPECT_EQ(readFile(outsider), "not ours");
  }
}

// With a signing key configured, only a package with a valid signature by
// its secret half is accepted; SHA-256 is checked whenever it is given.
TEST_F(DownloadResilienceTest, PackagesMustProveWhereTheyCameFrom) {
  auto keys = generateSigningKeyPair();
  auto reference = home_.tmp() / "reference.dmg";
  testing::writeFile(reference, data_);
  auto other = home_.tmp() / "other.dmg";
  testing::writeFile(other, randomBytes(1000, 5));
  const std::string key = base64Encode(keys.publicKey);
  const std::string good = base64Encode(signPackageFile(reference, keys.secretKey));
  const std::string forOther = base64Encode(signPackageFile(other, keys.secretKey));
  std::string flipped = data_;
  flipped[1'234'567] ^= 0x01;
  const std::string sha256 = referenceDigest(data_, EVP_sha256());
  const std::string rejected = "verifyFailed package signature rejected: ";

  struct Case {
    const char* name;
    std::string served;
    PackageExpectations expected;
    std::string outcome;
  };
  std::vector<Case> cases = {
      {"good signature", data_, {.signature = good, .signingKey = key}, "installed"},
      {"good signature and SHA-256", data_, {.md5 = md5_, .sha256 = sha256, .signature = good, .signingKey = key},
       "installed"},
      {"flipped byte", flipped, {.signature = good, .signingKey = key},
       rejected + "the signature does not match the package"},
      {"signature of another package", data_, {.signature = forOther, .signingKey = key},
       rejected + "the signature does not match the package"},
      {"malformed key", data_, {.signature = good, .signingKey = "not a key"},
       rejected + "the configured signing key is not a valid Ed25519 public key"},
      {"key of the wrong length", data_, {.signature = good, .signingKey = base64Encode("short")},
       rejected + "the configured signing key is not a valid Ed25519 public key"},
      {"malformed signature", data_, {.signature = "AAAA", .signingKey = key},
       rejected + "the signature is not a valid Base64 Ed25519 signature"},
      {"key and no signature", data_, {.signingKey = key}, rejected + "the update service sent no signature"},
      {"no key: a signature is not looked at", data_, {.signature = "garbage"}, "installed"},
      {"wrong SHA-256", data_, {.sha256 = std::string(64, 'a')},
       "verifyFailed sha256 mismatch: expected " + std::string(64, 'a') + ", got " + sha256},
  };
  int n = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = "/sig" + std::to_string(n++) + ".dmg";
    server_.setFile(path, ServedFile{.content = c.served, .etag = "\"1\""});
    PackageDownloadStep step(options());
    auto outcome = run(step, path, c.expected, std::nullopt);
    EXPECT_EQ(failureText(outcome), c.outcome);
    EXPECT_EQ(std::filesystem::exists(cacheDir() / path.substr(1)), c.outcome == "installed");
  }

  // A cached package is held to the same checks: reused while its
  // signature holds, fetched again and refused with another one.
  PackageDownloadStep step(options());
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(failureText(this->run(step, "/sig0.dmg", {.signature = good, .signingKey = key}, std::nullopt)),
              "installed");
  }
  EXPECT_EQ(server_.requestsFor("/sig0.dmg").size(), 2u);
  EXPECT_EQ(failureText(run(step, "/sig0.dmg", {.signature = forOther, .signingKey = key}, std::nullopt)),
            rejected + "the signature does not match the package");
  EXPECT_EQ(server_.requestsFor("/sig0.dmg").size(), 3u);
  EXPECT_FALSE(std::filesystem::exists(cacheDir() / "sig0.dmg"));
}

// The digests made while downloading, across a resume, are those of the
// finished file.
TEST_F(DownloadResilienceTest, StreamedDigestsMatchTheFinishedFile) {
  ServedFile file{.content = data_, .etag = "\"1\"", .dropAfter = 1'333'333};
  server_.setFile("/pkg.dmg", file);
  Downloader::Options o;
  o.caBundlePath = server_.caBundlePath();
  o.digests = {.md5 = true, .sha256 = true, .signature = false};
  auto dest = cacheDir() / "pkg.dmg";
  std::optional<std::string> resume;
  for (int attempt = 0; attempt < 2; ++attempt) {
    platform::Semaphore done;
    Downloader downloader(o);
    downloader.start(url(server_.url("/pkg.dmg")), dest, resume, nullptr,
                     [&](const DownloadResult&) { done.signal(); });
    ASSERT_TRUE(done.waitFor(30s));
    resume = downloader.resumeData();
    if (attempt == 0) {
      ASSERT_TRUE(resume);
      EXPECT_FALSE(downloader.digests());
      file.dropAfter.reset();
      server_.setFile("/pkg.dmg", file);
    } else {
      auto digests = downloader.digests();
      ASSERT_TRUE(digests);
      EXPECT_EQ(digests->size, 4'000'000);
      EXPECT_EQ(digests->md5, md5Hex(dest));
      EXPECT_EQ(digests->sha256, referenceDigest(data_, EVP_sha256()));
    }
  }
  EXPECT_EQ(server_.requestsFor("/pkg.dmg").back().range, "bytes=1333333-");
}

// Two loopback hosts offering the same package, each able to cut its
// answers; the package's first source is `first`, the mirror `second`.
class MirrorFailoverTest : public DownloadResilienceTest {
 protected:
  void SetUp() override {
    DownloadResilienceTest::SetUp();
    startHosts();
  }

  void startHosts() {
    first_ = std::make_unique<LoopbackFileServer>();
    second_ = std::make_unique<LoopbackFileServer>();
    first_->start();
    second_->start();
    ASSERT_NE(first_->server().port(), 0);
    ASSERT_NE(second_->server().port(), 0);
    testing::writeFile(home_.tmp() / "cas.pem", readFile(first_->caBundlePath()) + readFile(second_->caBundlePath()));
  }

  PackageDownloadStep::Options mirrorOptions() {
    auto o = options();
    o.downloader.caBundlePath = (home_.tmp() / "cas.pem").string();
    return o;
  }

  // The first host cuts its answer at 40% and is down from then on.
  void firstDiesAt40Percent(PackageDownloadStep::Options& o) {
    first_->setFile("/pkg.dmg", ServedFile{.content = data_, .etag = "\"a\"", .faults = {1'600'000}});
    o.jitter = [this] {
      first_->stop();
      return 1.0;
    };
  }

  std::vector<platform::URL> sources() const {
    return {url(first_->url("/pkg.dmg")), url(second_->url("/pkg.dmg"))};
  }

  Outcome runMirrored(PackageDownloadStep& step, const PackageExpectations& expected,
                      const PackageDownloadStep::Hooks& hooks = {}) {
    try {
      return step.run(sources(), std::string("1"), expected, hooks);
    } catch (const FailureBox& box) {
      return box.failure();
    }
  }

  std::vector<std::string> startedURLs() const {
    std::vector<std::string> urls;
    for (auto& [name, attributes] : events_.events()) {
      if (name == "DownloadStartInfo") urls.push_back(nlohmann::json::parse(attributes).at("msg").at("url"));
    }
    return urls;
  }

  std::unique_ptr<LoopbackFileServer> first_, second_;
};

// The first host dies at 40%: the second finishes from there when a digest
// proves the joined file, from byte 0 when nothing would; a second host
// serving another file under the same name fails the proof and nothing is
// installed.
TEST_F(MirrorFailoverTest, AHostDyingAt40PercentCostsOnlyTheMissingBytes) {
  struct Case {
    const char* name;
    bool digest;
    bool sameFile;
    std::string outcome;
    std::string secondRange;
  };
  const Case cases[] = {
      {"digest", true, true, "installed", "bytes=1600000-"},
      {"no digest: nothing joined", false, true, "installed", ""},
      {"another file on the second host", true, false, "verifyFailed md5 mismatch", "bytes=1600000-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(cacheDir());
    events_.clear();
    startHosts();
    auto o = mirrorOptions();
    firstDiesAt40Percent(o);
    second_->setFile("/pkg.dmg", ServedFile{.content = c.sameFile ? data_ : randomBytes(data_.size(), 77),
                                            .etag = "\"b\""});
    PackageDownloadStep step(o);
    auto outcome = runMirrored(step, c.digest ? PackageExpectations{.md5 = md5_} : PackageExpectations{});
    EXPECT_EQ(failureText(outcome).substr(0, c.outcome.size()), c.outcome) << failureText(outcome);
    auto requests = second_->requestsFor("/pkg.dmg");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].range, c.secondRange);
    EXPECT_EQ(requests[0].ifRange, "");
    if (c.outcome != "installed") {
      EXPECT_EQ(cacheEntries(), std::vector<std::string>{});
      continue;
    }
    EXPECT_EQ(readFile(std::get<std::filesystem::path>(outcome)), data_);
    const std::int64_t wire = first_->bytesSent() + second_->bytesSent();
    if (c.digest) {
      EXPECT_LE(wire, static_cast<std::int64_t>(data_.size()) * 11 / 10);
    }
    // The finish names the host that finished.
    auto finished = events_.events().back();
    EXPECT_EQ(finished.first, "DownloadFinishedInfo");
    EXPECT_EQ(nlohmann::json::parse(finished.second).at("msg").at("url"), second_->url("/pkg.dmg"));
  }
}

// With a chunk list each chunk is proven as it arrives: a second host
// serving another file is dropped at its first bad chunk, and the first
// host, back again, serves that chunk and the rest.
TEST_F(MirrorFailoverTest, ABadChunkIsFetchedAgainFromAnotherSource) {
  testing::writeFile(home_.tmp() / "package", data_);
  ChunkList list = chunkListOfFile(home_.tmp() / "package");
  auto o = mirrorOptions();
  o.retryDelays = {};
  first_->setFile("/pkg.dmg", ServedFile{.content = data_, .etag = "\"a\"", .faults = {1'600'000}});
  second_->setFile("/pkg.dmg", ServedFile{.content = randomBytes(data_.size(), 77), .etag = "\"b\""});
  std::filesystem::create_directories(home_.tmp() / "stream");
  PackageDownloadStep::Hooks hooks;
  hooks.tap = std::make_shared<StreamedPackage>(home_.tmp() / "stream", helpers::StreamFormat::zip, list);
  PackageDownloadStep step(o);
  auto outcome = runMirrored(step, {.md5 = md5_}, hooks);
  ASSERT_EQ(failureText(outcome), "installed");
  EXPECT_EQ(readFile(std::get<std::filesystem::path>(outcome)), data_);
  auto first = first_->requestsFor("/pkg.dmg"), second = second_->requestsFor("/pkg.dmg");
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[1].range, "bytes=1048576-");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].range, "bytes=1600000-");
  EXPECT_EQ(startedURLs(), (std::vector<std::string>{first_->url("/pkg.dmg"), second_->url("/pkg.dmg"),
                                                     first_->url("/pkg.dmg")}));
}

// Every source down: one failure naming the last source's error, after one
// attempt per source.
TEST_F(MirrorFailoverTest, EverySourceDownIsOneClearFailure) {
  first_->stop();
  second_->setStatus("/pkg.dmg", 503);
  PackageDownloadStep step(mirrorOptions());
  auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(failureText(runMirrored(step, {.md5 = md5_})), "network HTTP 503");
  EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
  EXPECT_EQ(startedURLs(), (std::vector<std::string>{first_->url("/pkg.dmg"), second_->url("/pkg.dmg")}));
  EXPECT_EQ(eventCount(event::downloadDataError{}), 2);
  EXPECT_EQ(cacheEntries(), std::vector<std::string>{});
}

// Quit midway through the second source; the next launch resumes there,
// guarded by the second host's validator.
TEST_F(MirrorFailoverTest, AQuitMidwayThroughTheSecondSourceResumesThere) {
  const std::int64_t size = static_cast<std::int64_t>(data_.size());
  auto o = mirrorOptions();
  firstDiesAt40Percent(o);
  second_->setFile("/pkg.dmg", ServedFile{.content = data_, .etag = "\"b\"", .bytesPerSecond = 2'000'000});
  {
    PackageDownloadStep step(o);
    std::thread quitter([&] {
      auto deadline = std::chrono::steady_clock::now() + 20s;
      while (second_->bytesSent() < size / 4 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      step.cancel();
    });
    EXPECT_EQ(failureText(runMirrored(step, {.md5 = md5_})), "cancelled ");
    quitter.join();
  }
  ASSERT_EQ(cacheEntries(), (std::vector<std::string>{".partial-download", "1-pkg.dmg.partial"}));
  const auto kept = std::filesystem::file_size(cacheDir() / "1-pkg.dmg.partial");
  EXPECT_GT(kept, 1'600'000u);

  events_.clear();
  second_->setFile("/pkg.dmg", ServedFile{.content = data_, .etag = "\"b\""});
  PackageDownloadStep relaunched(mirrorOptions());
  auto outcome = runMirrored(relaunched, {.md5 = md5_});
  ASSERT_EQ(failureText(outcome), "installed");
  EXPECT_EQ(readFile(std::get<std::filesystem::path>(outcome)), data_);
  EXPECT_EQ(startedURLs(), std::vector<std::string>{second_->url("/pkg.dmg")});
  auto requests = second_->requestsFor("/pkg.dmg");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(kept) + "-");
  EXPECT_EQ(requests[1].ifRange, "\"b\"");
  EXPECT_EQ(cacheEntries(), (std::vector<std::string>{"1-pkg.dmg"}));
}

}  // namespace
}  // namespace installer
