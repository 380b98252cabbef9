// Chunk lists: the SHA-256 of every 1 MiB chunk of a package (the last one
// shorter), signed by the vendor together with the package's size and
// SHA-256, so that each chunk of a download can be proven as it arrives,
// before anything unpacks it.
//
// The signature is a plain Ed25519 signature, with the vendor's package
// signing key (package_signature.h), over `chunkListMessage`: a fixed text
// that names what is signed, then the size, the chunk size, the package's
// SHA-256 and the chunk digests. It can never pass for a signature of a
// package, which is Ed25519ph over the package's bytes.
//
// In the update-check answer the digests travel as one Base64 string of
// the concatenated 32-byte digests (docs/vendor.md, "Chunk lists").
//
// Plain values and functions; any thread. A ChunkVerifier belongs to the
// thread that feeds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace installer {

inline constexpr std::size_t kChunkSize = std::size_t{1} << 20;
inline constexpr std::size_t kChunkDigestBytes = 32;

struct ChunkList {
  std::uint64_t size = 0;    // the package's size in bytes
  std::string sha256;        // the package's SHA-256, raw (32 bytes)
  std::string digests;       // chunk digests, raw, concatenated (32 bytes each)

  std::size_t count() const { return digests.size() / kChunkDigestBytes; }
  bool operator==(const ChunkList&) const = default;
};

// The number of chunks of a package of `size` bytes.
std::uint64_t chunkCount(std::uint64_t size);

// The chunk list of a file, read in one pass. Throws std::system_error when
// it cannot be read.
ChunkList chunkListOfFile(const std::filesystem::path& file);

// The bytes the signature covers.
std::string chunkListMessage(const ChunkList& list);

// The raw 64-byte signature. Throws std::invalid_argument for a secret key
// that is not 64 bytes.
std::string signChunkList(const ChunkList& list, const std::string& secretKey);
// True when `signature` (raw) is the signature of `list` by `publicKey` (raw).
bool verifyChunkList(const ChunkList& list, const std::string& signature, const std::string& publicKey);

// The wire form of the digests: Base64 of their concatenation.
std::string encodeChunkDigests(const ChunkList& list);
// The list for a package of `size` bytes and hex SHA-256 `sha256Hex`, from
// the Base64 `digests`. Absent when a field is malformed or the number of
// digests is not the number of chunks of `size` bytes.
std::optional<ChunkList> decodeChunkList(std::uint64_t size, const std::string& sha256Hex,
                                         const std::string& digests);

// Checks a byte stream chunk by chunk against a list and hands on each
// chunk only once it is proven. Memory: one chunk.
class ChunkVerifier {
 public:
  // `deliver` gets every proven chunk, in order; it may return false to
  // stop (the verifier then fails as stopped, not as a wrong chunk).
  using Deliver = std::function<bool(const unsigned char* data, std::size_t size)>;

  ChunkVerifier(ChunkList list, Deliver deliver);

  // Appends bytes. False once a chunk did not match (or the stream runs
  // past the size, or `deliver` stopped); nothing of that chunk or after it
  // is delivered.
  // Each chunk is checked (and delivered) as soon as its last byte is in.
  bool update(const void* data, std::size_t size);
  // True when the stream had the listed size and every chunk matched.
  bool finish();
  // After a chunk did not match: forgets its bytes so that the stream goes
  // on with that chunk again (from another source). False when there is
  // nothing to retry (no bad chunk, or the stream ran past the size).
  bool retryBadChunk();

  // The index of the first chunk that did not match (the chunk past the
  // end for a stream that is too long or too short).
  std::optional<std::uint64_t> badChunk() const { return badChunk_; }
  // Bytes proven and delivered so far.
  std::uint64_t delivered() const { return delivered_; }

 private:
  bool completeChunk();

  ChunkList list_;
  Deliver deliver_;
  std::string pending_;  // the chunk being received
  std::uint64_t next_ = 0;  // index of that chunk
  std::uint64_t delivered_ = 0;
  std::optional<std::uint64_t> badChunk_;
  bool stopped_ = false;
};

}  // namespace installer
