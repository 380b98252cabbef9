#include "publish/update_answer.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "network/check_update.h"
#include "proof/chunk_list.h"
#include "proof/package_signature.h"
#include "support/package_fixtures.h"
#include "support/reference_digest.h"

namespace installer::publish {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(UpdateAnswerTest, KeyFileIsPrivateAndNeverOverwritten) {
  TempDir dir("keys");
  std::string publicKey = createSigningKeyFile(dir / "vendor.key");
  struct stat st;
  ASSERT_EQ(stat((dir / "vendor.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(base64Decode(publicKey)->size(), 32u);
  const std::string before = testing::readFile(dir / "vendor.key");
  EXPECT_THROW(createSigningKeyFile(dir / "vendor.key"), std::runtime_error);
  EXPECT_EQ(testing::readFile(dir / "vendor.key"), before);
}

// The answer's digests and signature are checked with OpenSSL and
// libsodium's own Ed25519ph verification, not with the code that made them.
TEST(UpdateAnswerTest, AnswerCarriesDigestsAndAVerifiableSignature) {
  TempDir dir("sign");
  const std::string publicKey = *base64Decode(createSigningKeyFile(dir / "vendor.key"));
  const std::string content = testing::randomBytes(300000, 5);
  testing::writeFile(dir / "App.zip", content);

  auto answer = nlohmann::json::parse(
      makeUpdateAnswer(dir / "App.zip", dir / "vendor.key", "https://cdn.example.com/App.zip", "2.1"));
  EXPECT_EQ(answer["status"], 0);
  const auto& data = answer["data"];
  EXPECT_EQ(data["app_url"], "https://cdn.example.com/App.zip");
  EXPECT_EQ(data["version"], "2.1");
  EXPECT_FALSE(data.contains("mirrors"));
  EXPECT_EQ(data["md5"], testing::referenceHexDigest(content, EVP_md5()));
  EXPECT_EQ(data["sha256"], testing::referenceHexDigest(content, EVP_sha256()));

  const std::string signature = *base64Decode(data["signature"].get<std::string>());
  ASSERT_EQ(signature.size(), crypto_sign_BYTES);
  crypto_sign_state state;
  crypto_sign_init(&state);
  crypto_sign_update(&state, reinterpret_cast<const unsigned char*>(content.data()), content.size());
  EXPECT_EQ(crypto_sign_final_verify(&state, reinterpret_cast<const unsigned char*>(signature.data()),
                                     reinterpret_cast<const unsigned char*>(publicKey.data())),
            0);
}

// The chunk list proves out against the public key and cuts the package
// as it is: three chunks, the last one short.
TEST(UpdateAnswerTest, AnswerCarriesAChunkListSignedWithTheSameKey) {
  TempDir dir("sign");
  const std::string publicKey = *base64Decode(createSigningKeyFile(dir / "vendor.key"));
  const std::string content = testing::randomBytes(2 * kChunkSize + 7, 6);
  testing::writeFile(dir / "App.zip", content);

  const auto data = nlohmann::json::parse(
      makeUpdateAnswer(dir / "App.zip", dir / "vendor.key", "https://cdn.example.com/App.zip", "2.1"))["data"];
  EXPECT_EQ(data["size"], content.size());
  auto list = decodeChunkList(data["size"].get<std::uint64_t>(), data["sha256"].get<std::string>(),
                              data["chunks"].get<std::string>());
  ASSERT_TRUE(list);
  EXPECT_EQ(list->count(), 3u);
  EXPECT_TRUE(verifyChunkList(*list, *base64Decode(data["chunks_signature"].get<std::string>()), publicKey));
  ChunkVerifier verifier(*list, nullptr);
  EXPECT_TRUE(verifier.update(content.data(), content.size()) && verifier.finish());
}

TEST(UpdateAnswerTest, RefusesLinksTheInstallerWouldRefuse) {
  TempDir dir("sign");
  createSigningKeyFile(dir / "vendor.key");
  testing::writeFile(dir / "App.zip", "x");
  for (const char* url : {"http://cdn.example.com/App.zip", "https:///App.zip", "App.zip"}) {
    EXPECT_THROW(makeUpdateAnswer(dir / "App.zip", dir / "vendor.key", url, "1"), std::runtime_error) << url;
    EXPECT_THROW(makeUpdateAnswer(dir / "App.zip", dir / "vendor.key", "https://h/App.zip", "1", {url}),
                 std::runtime_error)
        << url;
  }
  EXPECT_THROW(makeUpdateAnswer(dir / "App.zip", dir / "vendor.key", "https://h/App.zip", "1",
                                std::vector<std::string>(kMaxMirrors + 1, "https://m/App.zip")),
               std::runtime_error);
  EXPECT_THROW(makeUpdateAnswer(dir / "App.zip", dir / "App.zip", "https://h/App.zip", "1"), std::runtime_error);
}

// Mirrors follow app_url in the order given, and the installer's own
// parser reads them back as the link's further sources.
TEST(UpdateAnswerTest, MirrorsAreWrittenInOrderAndReadBackAsSources) {
  TempDir dir("sign");
  createSigningKeyFile(dir / "vendor.key");
  testing::writeFile(dir / "App.zip", "x");
  const std::string text = makeUpdateAnswer(dir / "App.zip", dir / "vendor.key", "https://a.example/App.zip",
                                            "1", {"https://b.example/App.zip", "https://c.example/App.zip"});
  auto link = std::get<PackageLink>(parsePackageLink(text, 200));
  std::vector<std::string> sources;
  for (const auto& url : link.sources()) sources.push_back(url.absoluteString());
  EXPECT_EQ(sources, (std::vector<std::string>{"https://a.example/App.zip", "https://b.example/App.zip",
                                               "https://c.example/App.zip"}));
}

}  // namespace
}  // namespace installer::publish
