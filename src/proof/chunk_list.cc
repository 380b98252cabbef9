#include "proof/chunk_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <openssl/evp.h>
#include <sodium.h>

#include "proof/package_signature.h"

namespace installer {
namespace {

// Names what is signed, so the signature means nothing in any other use.
constexpr char kMessagePrefix[] = "installer chunk list, SHA-256, v1";

std::string sha256Of(const unsigned char* data, std::size_t size) {
  std::string digest(kChunkDigestBytes, '\0');
  unsigned int length = 0;
  if (EVP_Digest(data, size, reinterpret_cast<unsigned char*>(digest.data()), &length, EVP_sha256(),
                 nullptr) != 1) {
    throw std::runtime_error("SHA-256 is unavailable");
  }
  return digest;
}

// Safe to call from any thread, any number of times.
void initSodium() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
}

void appendBigEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::optional<std::string> fromHex(const std::string& hex) {
  if (hex.size() != 2 * kChunkDigestBytes) return std::nullopt;
  std::string raw;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (char c : {hex[i], hex[i + 1]}) {
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + digit;
    }
    raw.push_back(static_cast<char>(value));
  }
  return raw;
}

}  // namespace

std::uint64_t chunkCount(std::uint64_t size) { return (size + kChunkSize - 1) / kChunkSize; }

ChunkList chunkListOfFile(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
  ChunkList list;
  EVP_MD_CTX* whole = EVP_MD_CTX_new();
  EVP_DigestInit_ex(whole, EVP_sha256(), nullptr);
  std::vector<unsigned char> chunk(kChunkSize);
  int error = 0;
  for (bool end = false; !end;) {
    std::size_t filled = 0;
    while (filled < chunk.size()) {
      ssize_t n = ::read(fd, chunk.data() + filled, chunk.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      if (n <= 0) {
        end = true;
        break;
      }
      filled += static_cast<std::size_t>(n);
    }
    if (error) break;
    if (filled == 0) break;
    list.size += filled;
    list.digests += sha256Of(chunk.data(), filled);
    EVP_DigestUpdate(whole, chunk.data(), filled);
  }
  ::close(fd);
  list.sha256.resize(kChunkDigestBytes);
  EVP_DigestFinal_ex(whole, reinterpret_cast<unsigned char*>(list.sha256.data()), nullptr);
  EVP_MD_CTX_free(whole);
  if (error) throw std::system_error(error, std::generic_category(), "cannot read " + file.string());
  return list;
}

std::string chunkListMessage(const ChunkList& list) {
  std::string message(kMessagePrefix, sizeof kMessagePrefix);  // with its NUL
  appendBigEndian(message, list.size, 8);
  appendBigEndian(message, kChunkSize, 4);
  message += list.sha256;
  message += list.digests;
  return message;
}

std::string signChunkList(const ChunkList& list, const std::string& secretKey) {
  if (secretKey.size() != crypto_sign_SECRETKEYBYTES) {
    throw std::invalid_argument("a signing secret key has 64 bytes");
  }
  initSodium();
  std::string message = chunkListMessage(list);
  std::string signature(crypto_sign_BYTES, '\0');
  crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                       reinterpret_cast<const unsigned char*>(secretKey.data()));
  return signature;
}

bool verifyChunkList(const ChunkList& list, const std::string& signature, const std::string& publicKey) {
  if (signature.size() != crypto_sign_BYTES || publicKey.size() != crypto_sign_PUBLICKEYBYTES) return false;
  if (list.digests.size() != chunkCount(list.size) * kChunkDigestBytes || list.sha256.size() != kChunkDigestBytes) {
    return false;
  }
  initSodium();
  std::string message = chunkListMessage(list);
  return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                     reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                                     reinterpret_cast<const unsigned char*>(publicKey.data())) == 0;
}

std::string encodeChunkDigests(const ChunkList& list) { return base64Encode(list.digests); }

std::optional<ChunkList> decodeChunkList(std::uint64_t size, const std::string& sha256Hex,
                                         const std::string& digests) {
  auto sha256 = fromHex(sha256Hex);
  auto raw = base64Decode(digests);
  if (!sha256 || !raw || raw->size() != chunkCount(size) * kChunkDigestBytes) return std::nullopt;
  return ChunkList{size, *sha256, *raw};
}

ChunkVerifier::ChunkVerifier(ChunkList list, Deliver deliver)
    : list_(std::move(list)), deliver_(std::move(deliver)) {
  pending_.reserve(kChunkSize);
}

bool ChunkVerifier::update(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    if (badChunk_ || stopped_) return false;
    if (next_ >= list_.count()) {
      badChunk_ = next_;  // more bytes than the list covers
      return false;
    }
    std::size_t target = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, list_.size - next_ * kChunkSize));
    std::size_t take = std::min(size, target - pending_.size());
    pending_.append(bytes, take);
    bytes += take;
    size -= take;
    if (pending_.size() == target && !completeChunk()) return false;
  }
  return !badChunk_ && !stopped_;
}

bool ChunkVerifier::finish() {
  if (badChunk_ || stopped_) return false;
  if (next_ != list_.count()) {
    badChunk_ = next_;
    return false;
  }
  return true;
}

bool ChunkVerifier::retryBadChunk() {
  if (stopped_ || !badChunk_ || *badChunk_ != next_ || next_ >= list_.count()) return false;
  pending_.clear();
  badChunk_.reset();
  return true;
}

bool ChunkVerifier::completeChunk() {
  const auto* chunk = reinterpret_cast<const unsigned char*>(pending_.data());
  if (sha256Of(chunk, pending_.size()) != list_.digests.substr(next_ * kChunkDigestBytes, kChunkDigestBytes)) {
    badChunk_ = next_;
    return false;
  }
  if (deliver_ && !deliver_(chunk, pending_.size())) {
    stopped_ = true;
    return false;
  }
  delivered_ += pending_.size();
  ++next_;
  pending_.clear();
  return true;
}

}  // namespace installer
