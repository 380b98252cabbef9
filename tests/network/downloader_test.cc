#include "network/downloader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include <openssl/evp.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "proof/integrity.h"
#include "proof/package_signature.h"
#include "support/loopback_file_server.h"
#include "support/reference_digest.h"
#include "support/package_fixtures.h"
#include "support/thread_names.h"
#include "support/scoped_temp_home.h"

// Served files are spelled with designated initializers naming only what matters.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace installer {
namespace {

using namespace std::chrono_literals;
using testing::randomBytes;
using testing::readFile;
using testing::LoopbackFileServer;
using testing::ServedFile;

platform::URL url(const std::string& text) { return *platform::URL::parse(text); }

mode_t modeOf(const std::filesystem::path& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

// One attempt, run to its completion with a deadline. Declare it before
// the Downloader so that it outlives the downloader's thread.
struct Attempt {
  std::mutex mu;
  std::vector<TransferProgress> progress;
  std::vector<std::chrono::steady_clock::time_point> reportTimes;
  std::optional<DownloadResult> result;
  int completions = 0;
  platform::Semaphore done;

  void start(Downloader& downloader, const std::string& link, const std::filesystem::path& dest,
             std::optional<std::string> resume = std::nullopt,
             std::function<std::chrono::steady_clock::time_point()> now = nullptr) {
    downloader.start(
        url(link), dest, std::move(resume),
        [this, now](const TransferProgress& p) {
          std::lock_guard lock(mu);
          progress.push_back(p);
          if (now) reportTimes.push_back(now());
        },
        [this](const DownloadResult& r) {
          {
            std::lock_guard lock(mu);
            result = r;
            ++completions;
          }
          done.signal();
        });
  }
  DownloadResult wait() {
    EXPECT_TRUE(done.waitFor(30s)) << "no completion";
    std::lock_guard lock(mu);
    return result.value_or(DownloadError(download_error::network{"no completion", {}}));
  }
};

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.start();
    ASSERT_NE(server_.server().port(), 0);
  }

  Downloader::Options options() {
    Downloader::Options o;
    o.caBundlePath = server_.caBundlePath();
    o.idleTimeout = 5s;
    o.totalTimeout = 60s;
    return o;
  }

  std::filesystem::path dest(const std::string& name = "pkg.dmg") {
    return home_.dataHome() / "cache" / name;
  }

  testing::ScopedTempHome home_;
  LoopbackFileServer server_;
};

TEST_F(DownloaderTest, FetchesAWholeFileIntoTheDestination) {
  const std::string data = randomBytes(3'000'000, 1);
  server_.setFile("/pkg.dmg", ServedFile{.content = data, .etag = "\"v1\""});
  Attempt attempt;
  Downloader downloader(options());
  attempt.start(downloader, server_.url("/pkg.dmg"), dest());
  auto result = attempt.wait();
  ASSERT_TRUE(std::holds_alternative<DownloadedFile>(result));
  EXPECT_EQ(std::get<DownloadedFile>(result), (DownloadedFile{dest(), 3'000'000}));
  EXPECT_EQ(readFile(dest()), data);
  EXPECT_FALSE(std::filesystem::exists(dest().string() + ".partial"));
  auto requests = server_.requestsFor("/pkg.dmg");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].accept, "application/octet-stream");
  EXPECT_EQ(requests[0].range, "");
  EXPECT_FALSE(downloader.resumeData());
  std::lock_guard lock(attempt.mu);
  EXPECT_EQ(attempt.completions, 1);
  for (auto& p : attempt.progress) EXPECT_EQ(p.expected, 3'000'000);
}

TEST_F(DownloaderTest, WithoutALengthTheTotalStaysUnknownAndTheSizeComesFromDisk) {
  const std::string data = randomBytes(2'000'000, 2);
  // Slow enough for several reports.
  server_.setFile("/p", ServedFile{.content = data, .sendLength = false, .bytesPerSecond = 8'000'000});
  Attempt attempt;
  Downloader downloader(options());
  attempt.start(downloader, server_.url("/p"), dest("p.dmg"));
  auto result = attempt.wait();
  ASSERT_TRUE(std::holds_alternative<DownloadedFile>(result));
  EXPECT_EQ(std::get<DownloadedFile>(result).size, 2'000'000);
  EXPECT_EQ(readFile(dest("p.dmg")), data);
  std::lock_guard lock(attempt.mu);
  EXPECT_FALSE(attempt.progress.empty());
  for (auto& p : attempt.progress) {
    EXPECT_EQ(p.expected, 0);
    EXPECT_FALSE(p.remaining);
  }
}

TEST_F(DownloaderTest, BadStatusesPlaceNothing) {
  server_.setRedirect("/moved.dmg", "/gone.dmg");
  server_.setStatus("/broken.dmg", 500);
  for (auto [path, status] : {std::pair{"/moved.dmg", 404L}, std::pair{"/broken.dmg", 500L}}) {
    Attempt attempt;
    Downloader downloader(options());
    attempt.start(downloader, server_.url(path), dest());
    auto result = attempt.wait();
    ASSERT_TRUE(std::holds_alternative<DownloadError>(result)) << path;
    auto error = std::get<DownloadError>(result);
    EXPECT_EQ(error, DownloadError(download_error::badStatus{status}));
    EXPECT_EQ(description(error), "HTTP " + std::to_string(status));
    EXPECT_FALSE(std::filesystem::exists(dest()));
    EXPECT_FALSE(downloader.resumeData());
  }
  EXPECT_EQ(server_.requestsFor("/gone.dmg").size(), 1u);  // the redirect was followed
}

// A transfer cut after 40% is picked up where it stopped, guarded by the
// ETag, and yields the right file.
TEST_F(DownloaderTest, ResumesACutTransferWithARangeRequest) {
  const std::string data = randomBytes(5'000'000, 3);
  ServedFile file{.content = data, .etag = "\"abc\"", .lastModified = "Mon, 07 Dec 2026 04:00:00 GMT"};
  file.dropAfter = 2'000'000;
  server_.setFile("/pkg.dmg", file);

  Attempt a1;

  Downloader first(options());
  a1.start(first, server_.url("/pkg.dmg"), dest());
  auto r1 = a1.wait();
  ASSERT_TRUE(std::holds_alternative<DownloadError>(r1));
  auto* net = std::get_if<download_error::network>(&std::get<DownloadError>(r1));
  ASSERT_TRUE(net);
  EXPECT_EQ(net->code, platform::url_error::networkConnectionLost);
  EXPECT_FALSE(std::filesystem::exists(dest())) << "a partial file at the destination";
  EXPECT_EQ(modeOf(dest().string() + ".partial"), 0600u);
  EXPECT_EQ(modeOf(dest().parent_path()), 0700u);
  ASSERT_TRUE(first.resumeData());
  EXPECT_EQ(first.resumeDataURL(), url(server_.url("/pkg.dmg")));

  file.dropAfter.reset();
  server_.setFile("/pkg.dmg", file);
  Attempt a2;
  Downloader second(options());
  a2.start(second, server_.url("/pkg.dmg"), dest(), first.resumeData());
  auto r2 = a2.wait();
  ASSERT_TRUE(std::holds_alternative<DownloadedFile>(r2));
  EXPECT_EQ(std::get<DownloadedFile>(r2).size, 5'000'000);
  EXPECT_EQ(md5Hex(dest()), md5Hex([&] {
              std::ofstream(home_.tmp() / "ref", std::ios::binary) << data;
              return home_.tmp() / "ref";
            }()));
  auto requests = server_.requestsFor("/pkg.dmg");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "bytes=2000000-");
  EXPECT_EQ(requests[1].ifRange, "\"abc\"");
  std::lock_guard lock(a2.mu);
  for (auto& p : a2.progress) {
    EXPECT_GE(p.received, 2'000'000);  // counts from the partial file on
    EXPECT_EQ(p.expected, 5'000'000);
  }
}

// The server must vouch for the partial file: a new ETag, a server that
// ignores Range, or a range that starts elsewhere all give a whole file.
TEST_F(DownloaderTest, NeverSplicesBytesTheServerDoesNotVouchFor) {
  struct Case {
    const char* name;
    std::function<void(ServedFile&)> change;
    // Requests in all: a whole answer to the ranged one ends it; a range
    // that starts elsewhere is dropped and fetched again without a range.
    std::size_t requests;
  };
  std::vector<Case> cases = {
      {"new etag", [](ServedFile& f) { f.etag = "\"other\""; f.content = randomBytes(3'000'000, 9); }, 2},
      {"range ignored", [](ServedFile& f) { f.honourRange = false; }, 2},
      {"wrong range start", [](ServedFile& f) { f.rangeStartOverride = 0; }, 3},
  };
  int n = 0;
  for (auto& c : cases) {
    std::string path = "/case" + std::to_string(n++) + ".dmg";
    ServedFile file{.content = randomBytes(3'000'000, 4), .etag = "\"one\""};
    file.dropAfter = 1'200'000;
    server_.setFile(path, file);
    Attempt a1;
    Downloader first(options());
    a1.start(first, server_.url(path), dest());
    ASSERT_TRUE(std::holds_alternative<DownloadError>(a1.wait())) << c.name;
    ASSERT_TRUE(first.resumeData()) << c.name;

    file.dropAfter.reset();
    c.change(file);
    server_.setFile(path, file);
    Attempt a2;
    Downloader second(options());
    a2.start(second, server_.url(path), dest(), first.resumeData());
    auto r2 = a2.wait();
    ASSERT_TRUE(std::holds_alternative<DownloadedFile>(r2)) << c.name;
    EXPECT_EQ(readFile(dest()), file.content) << c.name;
    auto requests = server_.requestsFor(path);
    ASSERT_EQ(requests.size(), c.requests) << c.name;
    EXPECT_EQ(requests[1].range, "bytes=1200000-") << c.name;
    if (c.requests == 3) {
      EXPECT_EQ(requests[2].range, "") << c.name;
    }
    std::lock_guard lock(a2.mu);
    for (std::size_t i = 1; i < a2.progress.size(); ++i) {
      EXPECT_GE(a2.progress[i].received, a2.progress[i - 1].received) << c.name;
    }
  }
}

// A cache that ignores If-Range answers 206 with the rest of another file:
// the validator it sends (or its absence) gives it away, and the whole new
// file is fetched with one fresh request.
TEST_F(DownloaderTest, ARangedAnswerMustCarryTheKeptValidator) {
  struct Case {
    const char* name;
    ServedFile before;
    std::string etag, lastModified;  // of the changed file
  };
  const std::string lm1 = "Mon, 07 Dec 2026 04:00:00 GMT", lm2 = "Tue, 08 Dec 2026 04:00:00 GMT";
  const Case cases[] = {
      {"other etag", ServedFile{.etag = "\"one\""}, "\"two\"", ""},
      {"other last-modified", ServedFile{.lastModified = lm1}, "", lm2},
      {"no validator", ServedFile{.etag = "\"one\"", .lastModified = lm1}, "", ""},
  };
  int n = 0;
  for (auto c : cases) {
    const std::string path = "/v" + std::to_string(n++) + ".dmg";
    c.before.content = randomBytes(2'000'000, 10);
    c.before.dropAfter = 800'000;
    server_.setFile(path, c.before);
    auto o = options();
    o.digests = {.md5 = false, .sha256 = false, .signature = false};
    Attempt a1;
    Downloader first(o);
    a1.start(first, server_.url(path), dest());
    ASSERT_TRUE(std::holds_alternative<DownloadError>(a1.wait())) << c.name;
    ASSERT_TRUE(first.resumeData()) << c.name;

    ServedFile after{.content = randomBytes(2'000'000, 11), .etag = c.etag, .lastModified = c.lastModified};
    after.honourIfRange = false;
    server_.setFile(path, after);
    Attempt a2;
    Downloader second(o);
    a2.start(second, server_.url(path), dest(), first.resumeData());
    ASSERT_TRUE(std::holds_alternative<DownloadedFile>(a2.wait())) << c.name;
    EXPECT_EQ(readFile(dest()), after.content) << c.name;
    auto requests = server_.requestsFor(path);
    ASSERT_EQ(requests.size(), 3u) << c.name;
    EXPECT_EQ(requests[1].range, "bytes=800000-") << c.name;
    EXPECT_EQ(requests[2].range, "") << c.name;
  }
}

// Every proof made on the fly equals the reference over the whole file:
// fresh, empty, one byte, resumed after a cut and resumed after a cancel.
// A cancel leaves no hashing thread behind.
TEST_F(DownloaderTest, DigestsOnTheFlyMatchTheReference) {
  struct Case {
    const char* name;
    std::size_t size;
    std::optional<std::int64_t> dropAfter;
    bool cancelFirst;
  };
  const Case cases[] = {
      {"whole", 3'000'001, std::nullopt, false}, {"empty", 0, std::nullopt, false},
      {"one byte", 1, std::nullopt, false},      {"resumed after a cut", 3'000'000, 1'234'567, false},
      {"resumed after a cancel", 4'000'000, std::nullopt, true},
  };
  const auto keys = generateSigningKeyPair();
  auto o = options();
  o.digests = {.md5 = true, .sha256 = true, .signature = true};
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = "/d" + std::to_string(n++) + ".dmg";
    const std::string data = randomBytes(c.size, 20 + n);
    ServedFile file{.content = data, .etag = "\"d\""};
    file.dropAfter = c.dropAfter;
    if (c.cancelFirst) file.bytesPerSecond = 2'000'000;
    server_.setFile(path, file);

    std::optional<std::string> resume;
    if (c.dropAfter || c.cancelFirst) {
      const std::size_t threadsBefore = testing::threadsNamed("digest-");
      {
        Attempt a1;
        Downloader first(o);
        const std::int64_t sentBefore = server_.bytesSent();
        a1.start(first, server_.url(path), dest());
        if (c.cancelFirst) {
          auto deadline = std::chrono::steady_clock::now() + 20s;
          while (server_.bytesSent() < sentBefore + 300'000 &&
                 std::chrono::steady_clock::now() < deadline) {
            a1.done.waitFor(10ms);
          }
          first.cancel();
        }
        ASSERT_TRUE(std::holds_alternative<DownloadError>(a1.wait())) << c.name;
        EXPECT_FALSE(first.digests()) << c.name;
        resume = first.resumeData();
        ASSERT_TRUE(resume) << c.name;
      }
      EXPECT_LE(testing::threadsNamed("digest-"), threadsBefore) << c.name;
      file.dropAfter.reset();
      file.bytesPerSecond = 0;
      server_.setFile(path, file);
    }
    Attempt attempt;
    Downloader downloader(o);
    attempt.start(downloader, server_.url(path), dest(), resume);
    auto result = attempt.wait();
    ASSERT_TRUE(std::holds_alternative<DownloadedFile>(result))
        << c.name << ": " << description(std::get<DownloadError>(result));
    if (resume) {
      EXPECT_NE(server_.requestsFor(path).back().range, "") << c.name;
    }
    auto digests = downloader.digests();
    ASSERT_TRUE(digests) << c.name;
    EXPECT_EQ(digests->size, static_cast<std::int64_t>(c.size)) << c.name;
    EXPECT_EQ(digests->md5, testing::referenceHexDigest(data, EVP_md5())) << c.name;
    EXPECT_EQ(digests->sha256, testing::referenceHexDigest(data, EVP_sha256())) << c.name;
    PackageExpectations proof;
    proof.signingKey = base64Encode(keys.publicKey);
    proof.signature = base64Encode(signPackageFile(dest(), keys.secretKey));
    EXPECT_NO_THROW(verifyDigests(*digests, proof)) << c.name;
  }
}

// The file never grows into the volume's free-space reserve nor beyond an
// expected size: refused at the head when the length says so, stopped at
// the byte otherwise; the partial file goes, no resume data stays.
TEST_F(DownloaderTest, ADownloadNeverFillsTheDisk) {
  constexpr std::int64_t kGiB = std::int64_t{1} << 30;
  struct Case {
    const char* name;
    ServedFile file;
    std::int64_t usable;  // free bytes above the 1 GiB reserve of a 10 GiB volume
    std::optional<std::int64_t> expectedSize;
  };
  const std::string megabyte = randomBytes(1'000'000, 30);
  const Case cases[] = {
      {"endless body", ServedFile{.content = megabyte, .endless = true}, 3'000'000, std::nullopt},
      {"announced length", ServedFile{.content = megabyte + megabyte}, 1'500'000, std::nullopt},
      {"endless beyond the expected size", ServedFile{.content = megabyte, .endless = true},
       INT32_MAX, 2'500'000},
      {"announced beyond the expected size", ServedFile{.content = megabyte + megabyte}, INT32_MAX,
       1'999'999},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = "/s" + std::to_string(n++) + ".dmg";
    server_.setFile(path, c.file);
    auto o = options();
    o.expectedSize = c.expectedSize;
    o.volumeSpace = [usable = c.usable](const std::filesystem::path&) {
      return std::optional<helpers::VolumeSpace>(helpers::VolumeSpace{
          static_cast<std::uint64_t>(kGiB + usable), static_cast<std::uint64_t>(10 * kGiB)});
    };
    Attempt attempt;
    Downloader downloader(o);
    attempt.start(downloader, server_.url(path), dest());
    auto result = attempt.wait();
    ASSERT_TRUE(std::holds_alternative<DownloadError>(result)) << c.name;
    EXPECT_TRUE(std::holds_alternative<download_error::noSpaceNeeded>(std::get<DownloadError>(result)))
        << c.name << ": " << description(std::get<DownloadError>(result));
    EXPECT_FALSE(std::filesystem::exists(dest().string() + ".partial")) << c.name;
    EXPECT_FALSE(std::filesystem::exists(dest())) << c.name;
    EXPECT_FALSE(downloader.resumeData()) << c.name;
    std::lock_guard lock(attempt.mu);
    for (auto& p : attempt.progress) {
      EXPECT_LE(p.received, std::min(c.usable, c.expectedSize.value_or(INT64_MAX))) << c.name;
    }
  }
}

// The same on a real volume: a size-limited tmpfs 4 MiB above the reserve
// (mounting one needs root, which CI has).
TEST_F(DownloaderTest, AnEndlessBodyStopsAtTheReserveOfARealVolume) {
  const auto volume = home_.tmp() / "volume";
  std::filesystem::create_directories(volume);
  if (std::getenv(helpers::kReserveVariable)) GTEST_SKIP() << "the reserve is overridden";
  if (::mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=1028m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    std::filesystem::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{volume};
  server_.setFile("/endless.dmg", ServedFile{.content = randomBytes(1'000'000, 31), .endless = true});
  Attempt attempt;
  Downloader downloader(options());
  const auto target = volume / "cache" / "endless.dmg";
  attempt.start(downloader, server_.url("/endless.dmg"), target);
  auto result = attempt.wait();
  ASSERT_TRUE(std::holds_alternative<DownloadError>(result));
  EXPECT_TRUE(std::holds_alternative<download_error::noSpaceNeeded>(std::get<DownloadError>(result)))
      << description(std::get<DownloadError>(result));
  EXPECT_FALSE(std::filesystem::exists(target.string() + ".partial"));
  auto space = helpers::volumeSpace(volume);
  ASSERT_TRUE(space);
  EXPECT_GE(space->available, std::uint64_t{1} << 30);
}

TEST_F(DownloaderTest, ResumeDataIsUsedOnlyForItsOwnURLAndWhenNotEmpty) {
  const std::string data = randomBytes(1'000'000, 5);
  ServedFile file{.content = data, .etag = "\"e\""};
  file.dropAfter = 400'000;
  server_.setFile("/a.dmg", file);
  Attempt a1;
  Downloader first(options());
  a1.start(first, server_.url("/a.dmg"), dest());
  a1.wait();
  auto resume = first.resumeData();
  ASSERT_TRUE(resume);

  server_.setFile("/b.dmg", ServedFile{.content = data, .etag = "\"e\""});
  Attempt a2;
  Downloader other(options());
  a2.start(other, server_.url("/b.dmg"), dest(), resume);
  ASSERT_TRUE(std::holds_alternative<DownloadedFile>(a2.wait()));
  EXPECT_EQ(server_.requestsFor("/b.dmg")[0].range, "");

  Attempt a3;

  Downloader empty(options());
  a3.start(empty, server_.url("/b.dmg"), dest("c.dmg"), std::string());
  EXPECT_FALSE(empty.resumeDataURL());
  ASSERT_TRUE(std::holds_alternative<DownloadedFile>(a3.wait()));
  EXPECT_EQ(server_.requestsFor("/b.dmg")[1].range, "");
}

TEST_F(DownloaderTest, CancelFinishesOnceWithCancelledAndKeepsResumeData) {
  ServedFile file{.content = randomBytes(4'000'000, 6), .etag = "\"c\""};
  file.bytesPerSecond = 2'000'000;
  server_.setFile("/slow.dmg", file);
  Attempt attempt;
  Downloader downloader(options());
  attempt.start(downloader, server_.url("/slow.dmg"), dest());
  // Wait until bytes have arrived, then cancel.
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (server_.bytesSent() < 300'000 && std::chrono::steady_clock::now() < deadline) {
    attempt.done.waitFor(10ms);
  }
  downloader.cancel();
  auto result = attempt.wait();
  EXPECT_EQ(result, DownloadResult(DownloadError(download_error::cancelled{})));
  EXPECT_FALSE(attempt.done.waitFor(200ms)) << "a second completion";
  EXPECT_EQ(attempt.completions, 1);
  EXPECT_EQ(downloader.resumeDataURL(), url(server_.url("/slow.dmg")));
  EXPECT_FALSE(std::filesystem::exists(dest()));
}

TEST_F(DownloaderTest, AStalledServerHitsTheIdleLimit) {
  server_.setFile("/stall.dmg", ServedFile{.content = "x", .stall = true});
  auto o = options();
  o.idleTimeout = 300ms;
  Attempt attempt;
  Downloader downloader(o);
  auto began = std::chrono::steady_clock::now();
  attempt.start(downloader, server_.url("/stall.dmg"), dest());
  auto result = attempt.wait();
  ASSERT_TRUE(std::holds_alternative<DownloadError>(result));
  auto* net = std::get_if<download_error::network>(&std::get<DownloadError>(result));
  ASSERT_TRUE(net);
  EXPECT_EQ(net->code, platform::url_error::timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
  server_.stop();
}

TEST_F(DownloaderTest, AnUntrustedServerIsRejected) {
  server_.setFile("/pkg.dmg", ServedFile{.content = "data"});
  auto o = options();
  o.caBundlePath.reset();  // the system store does not know the test CA
  o.idleTimeout = 60s;     // loading the system store can be slow under a sanitizer
  Attempt attempt;
  Downloader downloader(o);
  attempt.start(downloader, server_.url("/pkg.dmg"), dest());
  auto result = attempt.wait();
  ASSERT_TRUE(std::holds_alternative<DownloadError>(result));
  auto* net = std::get_if<download_error::network>(&std::get<DownloadError>(result));
  ASSERT_TRUE(net);
  EXPECT_TRUE(net->code == platform::url_error::serverCertificateUntrusted ||
              net->code == platform::url_error::secureConnectionFailed)
      << net->code.value_or(0);
}

// With a clock that moves 10 ms per chunk, reports come every 11th chunk at
// most, and never go backwards.
TEST_F(DownloaderTest, ProgressIsThrottledAndMonotonic) {
  server_.setFile("/p.dmg", ServedFile{.content = randomBytes(6'000'000, 7)});
  auto fakeNow = std::make_shared<std::atomic<std::int64_t>>(0);
  auto o = options();
  o.clock = [fakeNow] {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(fakeNow->fetch_add(10) + 10));
  };
  Attempt attempt;
  Downloader downloader(o);
  attempt.start(downloader, server_.url("/p.dmg"), dest(), std::nullopt, [fakeNow] {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(fakeNow->load()));
  });
  ASSERT_TRUE(std::holds_alternative<DownloadedFile>(attempt.wait()));
  std::lock_guard lock(attempt.mu);
  ASSERT_GE(attempt.progress.size(), 2u);
  for (std::size_t i = 1; i < attempt.progress.size(); ++i) {
    EXPECT_GT(attempt.reportTimes[i] - attempt.reportTimes[i - 1], 100ms);
    EXPECT_GE(attempt.progress[i].received, attempt.progress[i - 1].received);
  }
}

TEST(TransferMeterTest, ThrottlesAndEstimatesOverTheWindow) {
  using T = std::chrono::steady_clock::time_point;
  auto at = [](double s) { return T(std::chrono::duration_cast<T::duration>(std::chrono::duration<double>(s))); };
  TransferMeter meter;
  auto first = meter.update(at(100), 1000, 0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->bytesPerSecond, 0);
  EXPECT_FALSE(meter.update(at(100.05), 2000, 0)) << "50 ms later";
  EXPECT_FALSE(meter.update(at(100.1), 2000, 0)) << "exactly 100 ms later";
  auto young = meter.update(at(100.2), 3000, 0);
  ASSERT_TRUE(young);
  EXPECT_EQ(young->bytesPerSecond, 0) << "oldest sample only 0.2 s old";
  EXPECT_FALSE(young->remaining);

  TransferMeter window;
  window.update(at(10), 20'000'000, 100'000'000);
  window.update(at(13), 25'000'000, 0);
  auto p = window.update(at(14), 30'000'000, 0);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->expected, 100'000'000);
  EXPECT_DOUBLE_EQ(p->bytesPerSecond, 2'500'000);
  ASSERT_TRUE(p->remaining);
  EXPECT_DOUBLE_EQ(*p->remaining, 28);
  // Samples older than 5 s leave the window.
  auto later = window.update(at(18.5), 31'000'000, 0);
  ASSERT_TRUE(later);
  EXPECT_DOUBLE_EQ(later->bytesPerSecond, 1'000'000 / 4.5);
}

TEST(DownloaderNamesTest, SuggestedFileNames) {
  EXPECT_EQ(Downloader::suggestedFileName(url("https://h")), "installer-package.dmg");
  EXPECT_EQ(Downloader::suggestedFileName(url("https://h/")), "installer-package.dmg");
  EXPECT_EQ(Downloader::suggestedFileName(url("https://h/a/setup.PKG")), "setup.PKG");
  EXPECT_EQ(Downloader::suggestedFileName(url("https://h/download.php?id=3")), "download.php.dmg");
  EXPECT_EQ(Downloader::suggestedFileName(url("https://h/x/app.zip")), "app.zip");
  EXPECT_EQ(Downloader::suggestedFileName(url("https://h/a%2Fb.dmg")), "a_b.dmg");
  EXPECT_EQ(Downloader::suggestedFileName(url("https://h/..")), "installer-package.dmg");
}

TEST(DownloaderNamesTest, DescriptionsAndTelemetryTexts) {
  DownloadError offline = download_error::network{"The Internet connection appears to be offline.",
                                                  platform::url_error::notConnectedToInternet};
  EXPECT_EQ(telemetryText(offline), "not connected to internet");
  EXPECT_EQ(description(offline), "The Internet connection appears to be offline.");
  EXPECT_EQ(telemetryText(DownloadError(download_error::network{"gone", -999})), "gone");
  EXPECT_EQ(telemetryText(DownloadError(download_error::network{"odd", std::nullopt})), "odd");
  EXPECT_EQ(telemetryText(DownloadError(download_error::badStatus{503})), "HTTP 503");
  EXPECT_EQ(telemetryText(DownloadError(download_error::cancelled{})), "cancelled");
  DownloadError space = download_error::noSpaceNeeded{2'000'000'000, 1'000};
  EXPECT_EQ(telemetryText(space), "no space left on device");
  EXPECT_EQ(description(space).rfind("need ", 0), 0u);
}

}  // namespace
}  // namespace installer
