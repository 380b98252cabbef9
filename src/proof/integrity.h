// Integrity checks on a downloaded package: its size, its MD5 digest and
// the free space of the volume it will be installed on; and, when the
// update service or the installer's configuration asks for them, its
// SHA-256 digest and its Ed25519ph signature. Plain functions; any thread;
// each blocks only for its own file-system work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

namespace installer {

namespace integrity {
struct sizeMismatch {
  std::int64_t expected = 0;
  std::int64_t actual = 0;
  bool operator==(const sizeMismatch&) const = default;
};
struct checksumMismatch {
  std::string expected;  // as given
  std::string actual;    // computed, lowercase hex
  bool operator==(const checksumMismatch&) const = default;
};
struct insufficientSpace {
  std::int64_t needed = 0;
  std::int64_t available = 0;
  bool operator==(const insufficientSpace&) const = default;
};
struct sha256Mismatch {
  std::string expected;  // as given
  std::string actual;    // computed, lowercase hex
  bool operator==(const sha256Mismatch&) const = default;
};
// A signing key is configured and the package's signature does not prove
// the package came from its owner.
struct signatureRejected {
  enum class Reason {
    malformedKey,        // the configured key is not Base64 of 32 bytes
    missing,             // the update service sent no signature
    malformedSignature,  // not Base64 of 64 bytes
    mismatch,            // a well-formed signature that does not verify
  };
  Reason reason = Reason::mismatch;
  bool operator==(const signatureRejected&) const = default;
};
}  // namespace integrity

// A failed check. what() is the description the user sees:
//   "size mismatch: expected 100, got 99"
//   "md5 mismatch: expected <expected>, got <actual>"
//   "not enough disk space: need 1 GB, available 999 MB"
//   "sha256 mismatch: expected <expected>, got <actual>"
//   "package signature rejected: <reason>", the reasons being
//     "the configured signing key is not a valid Ed25519 public key",
//     "the update service sent no signature",
//     "the signature is not a valid Base64 Ed25519 signature",
//     "the signature does not match the package"
class IntegrityError : public std::runtime_error {
 public:
  using Case = std::variant<integrity::sizeMismatch, integrity::checksumMismatch,
                            integrity::insufficientSpace, integrity::sha256Mismatch,
                            integrity::signatureRejected>;
  explicit IntegrityError(Case value);
  const Case& value() const { return value_; }
  std::string description() const { return what(); }

 private:
  Case value_;
};

// Whether `description` (an IntegrityError's) says the package's bytes are
// not the ones the update service or the configuration vouches for: a
// SHA-256 mismatch or a rejected signature. Such a package is offered by
// no other way either.
bool disownsPackage(const std::string& description);


// The file's size in bytes, or 0 when it cannot be read (missing file, no
// permission). A directory counts as unreadable. Never throws.
std::int64_t fileSize(const std::filesystem::path& file);

// The MD5 digest of the whole file as 32 lowercase hex digits, read in one
// streaming pass with a fixed 1 MiB buffer. Throws std::system_error (the
// file system's error) when the file cannot be opened or read, e.g. for a
// directory.
std::string md5Hex(const std::filesystem::path& file);

// Returns when `expected` is absent or empty (without reading the file) or
// equals the file's digest ignoring letter case; otherwise throws
// IntegrityError(checksumMismatch), or the read error of md5Hex.
void verifyChecksum(const std::filesystem::path& file, const std::optional<std::string>& expected);

// --- Digests computed in one pass, and what a package must match ---------

// Which digests a PackageDigester computes. MD5 is what the design checks;
// SHA-256 and the signature prehash only cost time when asked for.
struct DigestKinds {
  bool md5 = true;
  bool sha256 = false;
  bool signature = false;  // the Ed25519ph prehash (SHA-512) of the bytes
  bool operator==(const DigestKinds&) const = default;
};

// Opaque: the running Ed25519ph prehash, checked against a signature and a
// public key by verifyDigests.
struct SignaturePrehash;

// The digests of a byte stream. Each is present when it was asked for.
struct PackageDigests {
  std::int64_t size = 0;  // bytes fed in
  std::optional<std::string> md5;     // 32 lowercase hex digits
  std::optional<std::string> sha256;  // 64 lowercase hex digits
  std::shared_ptr<const SignaturePrehash> prehash;
};

// Feeds bytes in order into the chosen digests (libcrypto's MD5 and
// SHA-256, libsodium's Ed25519ph prehash) on the caller's thread; `finish`
// once. Not thread-safe; movable, not copyable.
class PackageDigester {
 public:
  explicit PackageDigester(DigestKinds kinds = {});
  ~PackageDigester();
  PackageDigester(PackageDigester&&) noexcept;
  PackageDigester& operator=(PackageDigester&&) noexcept;

  void update(const void* data, std::size_t size);
  std::int64_t size() const;
  PackageDigests finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The chosen digests of the whole file in one streaming pass, each on a
// thread of its own (a DigestPipeline) so the file is checked at the speed
// of the disk or of the slowest digest; throws std::system_error like
// md5Hex.
PackageDigests digestFile(const std::filesystem::path& file, DigestKinds kinds);

// What a package must match. Absent or empty fields are not checked;
// with `signingKey` present the signature must be present and valid.
struct PackageExpectations {
  std::optional<std::string> md5 = std::nullopt;         // from the link, else DownloadPackageMD5
  std::optional<std::string> sha256 = std::nullopt;      // "sha256" of the update-check answer
  std::optional<std::string> signature = std::nullopt;   // "signature" (Base64)
  std::optional<std::string> signingKey = std::nullopt;  // PackageSigningPublicKey (Base64)

  // The digests needed to check these expectations.
  DigestKinds kinds() const;
  // True when anything at all is to be checked.
  bool any() const;
};

// Checks, in this order, the MD5 (ignoring letter case), the SHA-256
// (ignoring letter case) and the signature. Throws IntegrityError
// (checksumMismatch, sha256Mismatch, signatureRejected). A digest that is
// expected but was not computed counts as a mismatch with an empty actual
// value: callers compute `expectations.kinds()`.
void verifyDigests(const PackageDigests& digests, const PackageExpectations& expectations);

// Size first (skipped unless `expectedSize` >= 1), then the digest as in
// verifyChecksum. Throws IntegrityError(sizeMismatch / checksumMismatch) or
// a read error; stops at the first failure.
void verifyPackage(const std::filesystem::path& file, const std::optional<std::int64_t>& expectedSize,
                   const std::optional<std::string>& expected);

// Bytes an unprivileged user may still write on the volume holding `path`
// (f_bavail * f_frsize). A path that does not exist yet is measured at its
// nearest existing ancestor. Absent when the volume cannot be queried.
std::optional<std::int64_t> availableCapacity(const std::filesystem::path& path);

// Needs 2.5 times `packageSize` (truncated) of strictly more free space
// than that. Skipped for a package size below 1 and when `available` is
// absent or not positive. Throws IntegrityError(insufficientSpace).
void checkDiskSpace(std::int64_t packageSize, const std::optional<std::int64_t>& available);
// The same against the volume of `path` (the installation directory).
void checkDiskSpace(const std::filesystem::path& path, std::int64_t packageSize);

}  // namespace installer
