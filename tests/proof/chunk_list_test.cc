#include "proof/chunk_list.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <fstream>

#include "proof/package_signature.h"
#include "support/package_fixtures.h"

namespace installer {
namespace {

using installer::testing::TempDir;

std::string sha256(const std::string& bytes) {
  std::string digest(32, '\0');
  EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(digest.data()), nullptr, EVP_sha256(),
             nullptr);
  return digest;
}

std::string hex(const std::string& raw) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

ChunkList listOf(const std::string& bytes, TempDir& dir) {
  std::ofstream(dir / "package", std::ios::binary) << bytes;
  return chunkListOfFile(dir / "package");
}

TEST(ChunkListTest, ListOfAFileHasOneDigestPerMebibyteTheLastShorter) {
  TempDir dir("chunks");
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, kChunkSize, 2 * kChunkSize + 123}) {
    SCOPED_TRACE(size);
    std::string bytes = installer::testing::randomBytes(size, 3);
    ChunkList list = listOf(bytes, dir);
    EXPECT_EQ(list.size, size);
    EXPECT_EQ(list.sha256, sha256(bytes));
    ASSERT_EQ(list.count(), chunkCount(size));
    if (size > 0) {
      EXPECT_EQ(list.digests.substr(list.digests.size() - 32), sha256(bytes.substr((list.count() - 1) * kChunkSize)));
    }
    auto decoded = decodeChunkList(size, hex(list.sha256), encodeChunkDigests(list));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, list);
  }
  EXPECT_FALSE(decodeChunkList(kChunkSize + 1, std::string(64, '0'), base64Encode(std::string(32, 'x'))))
      << "one digest short";
}

// Checked independently of the code under test: libsodium's own verifier
// over the documented message.
TEST(ChunkListTest, SignatureCoversSizeHashAndDigests) {
  TempDir dir("chunks");
  ChunkList list = listOf(installer::testing::randomBytes(kChunkSize + 10, 4), dir);
  SigningKeyPair keys = generateSigningKeyPair();
  std::string signature = signChunkList(list, keys.secretKey);

  std::string message("installer chunk list, SHA-256, v1", 34);
  for (int i = 7; i >= 0; --i) message += static_cast<char>((list.size >> (8 * i)) & 0xff);
  message += std::string("\x00\x10\x00\x00", 4);
  message += list.sha256 + list.digests;
  EXPECT_EQ(crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                        reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                                        reinterpret_cast<const unsigned char*>(keys.publicKey.data())),
            0);

  EXPECT_TRUE(verifyChunkList(list, signature, keys.publicKey));
  ChunkList other = list;
  other.size -= 1;
  EXPECT_FALSE(verifyChunkList(other, signature, keys.publicKey));
  other = list;
  other.digests[40] ^= 1;
  EXPECT_FALSE(verifyChunkList(other, signature, keys.publicKey));
  other = list;
  other.sha256[0] ^= 1;
  EXPECT_FALSE(verifyChunkList(other, signature, keys.publicKey));
  EXPECT_FALSE(verifyChunkList(list, signature, generateSigningKeyPair().publicKey));
}

TEST(ChunkListTest, VerifierDeliversOnlyProvenChunksAndStopsAtTheFirstBadOne) {
  TempDir dir("chunks");
  const std::string bytes = installer::testing::randomBytes(3 * kChunkSize + 500, 5);
  const ChunkList list = listOf(bytes, dir);
  struct Row {
    const char* label;
    std::string stream;
    std::optional<std::uint64_t> bad;
  };
  std::string tampered = bytes;
  tampered[kChunkSize + 17] ^= 0x40;
  std::string tamperedLast = bytes;
  tamperedLast.back() ^= 1;
  const Row rows[] = {
      {"intact", bytes, std::nullopt},
      {"tampered second chunk", tampered, 1},
      {"tampered last chunk", tamperedLast, 3},
      {"too long", bytes + "x", 4},
      {"too short", bytes.substr(0, bytes.size() - 1), 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string delivered;
    ChunkVerifier verifier(list, [&](const unsigned char* data, std::size_t size) {
      delivered.append(reinterpret_cast<const char*>(data), size);
      return true;
    });
    bool ok = true;
    std::size_t fedWhenCaught = 0;
    for (std::size_t at = 0; at < row.stream.size() && ok; at += 4096) {
      std::size_t size = std::min<std::size_t>(4096, row.stream.size() - at);
      ok = verifier.update(row.stream.data() + at, size);
      fedWhenCaught = at + size;
    }
    ok = ok && verifier.finish();
    EXPECT_EQ(ok, !row.bad);
    EXPECT_EQ(verifier.badChunk(), row.bad);
    if (row.bad) {
      EXPECT_EQ(delivered, bytes.substr(0, std::min<std::size_t>(*row.bad * kChunkSize, bytes.size())));
      if (row.stream.size() == bytes.size()) {
        // Caught with the chunk's last byte, not later.
        EXPECT_EQ(fedWhenCaught, std::min<std::size_t>((*row.bad + 1) * kChunkSize, bytes.size()));
      }
    } else {
      EXPECT_EQ(delivered, bytes);
    }
  }
}

}  // namespace
}  // namespace installer
