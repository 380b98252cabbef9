#include "proof/digest_pipeline.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>

#include "proof/package_signature.h"
#include "support/package_fixtures.h"
#include "support/reference_digest.h"
#include "support/scoped_temp_home.h"

namespace installer {
namespace {

using testing::randomBytes;
constexpr DigestKinds kAll{.md5 = true, .sha256 = true, .signature = true};
constexpr std::size_t kBuffer = DigestPipeline::kBufferSize;

std::string label(const char* what, std::int64_t n) {
  std::string text(what);
  text += std::to_string(n);
  return text;
}

std::size_t threadCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

class DigestPipelineTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const std::string& data) {
    auto path = home_.tmp() / label("f", files_++);
    std::ofstream(path, std::ios::binary) << data;
    return path;
  }

  // The digests against OpenSSL's one-shot digests of `data`, and the
  // prehash against a signature libsodium made over the whole file.
  void expectDigestsOf(const std::optional<PackageDigests>& digests, const std::string& data,
                       const std::string& what) {
    ASSERT_TRUE(digests) << what;
    EXPECT_EQ(digests->size, static_cast<std::int64_t>(data.size())) << what;
    EXPECT_EQ(digests->md5, testing::referenceHexDigest(data, EVP_md5())) << what;
    EXPECT_EQ(digests->sha256, testing::referenceHexDigest(data, EVP_sha256())) << what;
    PackageExpectations signed_;
    signed_.signingKey = base64Encode(keys_.publicKey);
    signed_.signature = base64Encode(signPackageFile(write(data), keys_.secretKey));
    EXPECT_NO_THROW(verifyDigests(*digests, signed_)) << what;
  }

  testing::ScopedTempHome home_;
  SigningKeyPair keys_ = generateSigningKeyPair();
  int files_ = 0;
};

TEST_F(DigestPipelineTest, GivesTheReferenceDigestsWhateverTheSizesAndPieces) {
  struct Case {
    std::size_t size;
    std::size_t piece;
  };
  // Empty, short, one buffer exactly, one byte past it, and more than the
  // buffers in flight (the producer waits for the digests).
  const Case cases[] = {{0, 1},          {1, 1},           {1000, 7},
                        {kBuffer, 4096}, {kBuffer + 1, kBuffer}, {(9 << 20) + 3, 1 << 20}};
  for (const auto& c : cases) {
    const std::string data = randomBytes(c.size, static_cast<unsigned>(c.size));
    DigestPipeline pipeline(kAll);
    for (std::size_t at = 0; at < data.size(); at += c.piece) {
      pipeline.update(data.data() + at, std::min(c.piece, data.size() - at));
    }
    expectDigestsOf(pipeline.finish(), data, label("size ", static_cast<std::int64_t>(c.size)));
  }
}

TEST_F(DigestPipelineTest, ComputesOnlyWhatIsAskedFor) {
  const std::string data = randomBytes(100'000, 1);
  DigestPipeline sha({.md5 = false, .sha256 = true, .signature = false});
  sha.update(data.data(), data.size());
  auto digests = sha.finish();
  ASSERT_TRUE(digests);
  EXPECT_FALSE(digests->md5);
  EXPECT_FALSE(digests->prehash);
  EXPECT_EQ(digests->sha256, testing::referenceHexDigest(data, EVP_sha256()));

  DigestPipeline none({.md5 = false, .sha256 = false, .signature = false});
  none.update(data.data(), data.size());
  digests = none.finish();
  ASSERT_TRUE(digests);
  EXPECT_EQ(digests->size, 100'000);
  EXPECT_FALSE(digests->md5 || digests->sha256 || digests->prehash);
}

TEST_F(DigestPipelineTest, AFilePrefixGoesFirst) {
  struct Case {
    std::size_t fileSize;
    std::int64_t prefix;
    std::size_t rest;
    bool readable;
  };
  const Case cases[] = {
      {3 * kBuffer + 5, 3 * kBuffer + 5, 1000, true},  // the whole partial file, then more
      {(10 << 20) + 1, 10 << 20, kBuffer, true},       // a prefix beyond the buffers in flight
      {5000, 1, 0, true},                              // nothing after it
      {5000, 5001, 10, false},                         // the file is shorter
  };
  for (const auto& c : cases) {
    const std::string data = randomBytes(c.fileSize + c.rest, static_cast<unsigned>(c.prefix));
    auto file = write(data.substr(0, c.fileSize));
    DigestPipeline pipeline(kAll);
    pipeline.feedFilePrefix(file, c.prefix);
    const std::size_t from = static_cast<std::size_t>(std::min<std::int64_t>(c.prefix, c.fileSize));
    pipeline.update(data.data() + from, c.rest);
    auto digests = pipeline.finish();
    const std::string what = label("prefix ", c.prefix);
    if (!c.readable) {
      EXPECT_FALSE(digests) << what;
      continue;
    }
    expectDigestsOf(digests, data.substr(0, static_cast<std::size_t>(c.prefix) + c.rest), what);
  }
}

TEST_F(DigestPipelineTest, AnAbandonedPipelineLeavesNoThreadBehind) {
  {
    DigestPipeline first(kAll);  // a sanitizer may start a helper thread with the first thread
  }
  const std::size_t before = threadCount();
  const std::string data = randomBytes(12 << 20, 2);
  auto file = write(data);
  {
    DigestPipeline midStream(kAll);
    midStream.update(data.data(), data.size());
  }
  {
    DigestPipeline midPrefix(kAll);
    midPrefix.feedFilePrefix(file, static_cast<std::int64_t>(data.size()));
  }
  {
    DigestPipeline unused(kAll);
  }
  EXPECT_EQ(threadCount(), before);
}

TEST_F(DigestPipelineTest, AFileIsDigestedLikeItsBytes) {
  for (std::size_t size : {std::size_t{0}, kBuffer - 1, 3 * kBuffer}) {
    const std::string data = randomBytes(size, 3);
    expectDigestsOf(digestFile(write(data), kAll), data, label("size ", static_cast<std::int64_t>(size)));
  }
  EXPECT_THROW(digestFile(home_.tmp() / "missing", kAll), std::system_error);
  EXPECT_THROW(digestFile(home_.tmp(), kAll), std::system_error);
}

}  // namespace
}  // namespace installer
