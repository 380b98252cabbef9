#include "proof/integrity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>
#include <vector>

#include <openssl/evp.h>
#include <sodium.h>

#include "run_status/install_types.h"
#include "proof/digest_pipeline.h"
#include "proof/package_signature.h"

namespace installer {
namespace {

constexpr std::size_t kReadChunk = 1 << 20;

std::string describe(const IntegrityError::Case& value) {
  struct Visitor {
    std::string operator()(const integrity::sizeMismatch& e) const {
      return "size mismatch: expected " + std::to_string(e.expected) + ", got " +
             std::to_string(e.actual);
    }
    std::string operator()(const integrity::checksumMismatch& e) const {
      return "md5 mismatch: expected " + e.expected + ", got " + e.actual;
    }
    std::string operator()(const integrity::insufficientSpace& e) const {
      return "not enough disk space: need " + formatByteCount(e.needed) + ", available " +
             formatByteCount(e.available);
    }
    std::string operator()(const integrity::sha256Mismatch& e) const {
      return "sha256 mismatch: expected " + e.expected + ", got " + e.actual;
    }
    std::string operator()(const integrity::signatureRejected& e) const {
      using Reason = integrity::signatureRejected::Reason;
      const char* why = "the signature does not match the package";
      switch (e.reason) {
        case Reason::malformedKey:
          why = "the configured signing key is not a valid Ed25519 public key";
          break;
        case Reason::missing:
          why = "the update service sent no signature";
          break;
        case Reason::malformedSignature:
          why = "the signature is not a valid Base64 Ed25519 signature";
          break;
        case Reason::mismatch:
          break;
      }
      return std::string("package signature rejected: ") + why;
    }
  };
  return std::visit(Visitor{}, value);
}

bool equalIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }  // a close error is of no interest after reading
};

std::string hex(const unsigned char* bytes, std::size_t count) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(count * 2, '0');
  for (std::size_t i = 0; i < count; ++i) {
    text[2 * i] = kHex[bytes[i] >> 4];
    text[2 * i + 1] = kHex[bytes[i] & 0xf];
  }
  return text;
}

bool present(const std::optional<std::string>& value) { return value && !value->empty(); }

}  // namespace

struct SignaturePrehash {
  crypto_sign_state state;
};

namespace {

// One running EVP digest; libcrypto picks the CPU's SHA and vector code.
class EvpDigest {
 public:
  explicit EvpDigest(const EVP_MD* kind) : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_, kind, nullptr) != 1) {
      EVP_MD_CTX_free(ctx_);
      throw std::runtime_error("libcrypto cannot start a digest");
    }
  }
  ~EvpDigest() { EVP_MD_CTX_free(ctx_); }
  EvpDigest(const EvpDigest&) = delete;
  EvpDigest& operator=(const EvpDigest&) = delete;

  void update(const unsigned char* bytes, std::size_t size) { EVP_DigestUpdate(ctx_, bytes, size); }
  std::string finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx_, digest, &length);
    return hex(digest, length);
  }

 private:
  EVP_MD_CTX* ctx_;
};

}  // namespace

struct PackageDigester::State {
  DigestKinds kinds;
  std::int64_t size = 0;
  std::optional<EvpDigest> md5;
  std::optional<EvpDigest> sha256;
  std::shared_ptr<SignaturePrehash> prehash;

  explicit State(DigestKinds k) : kinds(k) {
    if (kinds.md5) md5.emplace(EVP_md5());
    if (kinds.sha256) sha256.emplace(EVP_sha256());
    if (kinds.signature) {
      if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
      prehash = std::make_shared<SignaturePrehash>();
      crypto_sign_init(&prehash->state);
    }
  }
};

PackageDigester::PackageDigester(DigestKinds kinds) : state_(std::make_unique<State>(kinds)) {}
PackageDigester::~PackageDigester() = default;
PackageDigester::PackageDigester(PackageDigester&&) noexcept = default;
PackageDigester& PackageDigester::operator=(PackageDigester&&) noexcept = default;

void PackageDigester::update(const void* data, std::size_t size) {
  auto* bytes = static_cast<const unsigned char*>(data);
  if (state_->md5) state_->md5->update(bytes, size);
  if (state_->sha256) state_->sha256->update(bytes, size);
  if (state_->prehash) crypto_sign_update(&state_->prehash->state, bytes, size);
  state_->size += static_cast<std::int64_t>(size);
}

std::int64_t PackageDigester::size() const { return state_->size; }

PackageDigests PackageDigester::finish() {
  PackageDigests digests;
  digests.size = state_->size;
  if (state_->md5) digests.md5 = state_->md5->finishHex();
  if (state_->sha256) digests.sha256 = state_->sha256->finishHex();
  digests.prehash = std::move(state_->prehash);
  return digests;
}

PackageDigests digestFile(const std::filesystem::path& file, DigestKinds kinds) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
  }
  FdCloser closer{fd};
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // Reads land in the pipeline's own buffers: no copy between the page
  // cache and the digests.
  DigestPipeline pipeline(kinds);
  for (;;) {
    auto room = pipeline.space();
    ssize_t n = ::read(fd, room.data(), room.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
    }
    if (n == 0) break;
    pipeline.commit(static_cast<std::size_t>(n));
  }
  return *pipeline.finish();
}

DigestKinds PackageExpectations::kinds() const {
  DigestKinds kinds;
  kinds.md5 = present(md5);
  kinds.sha256 = present(sha256);
  kinds.signature = present(signingKey);
  return kinds;
}

bool PackageExpectations::any() const {
  return present(md5) || present(sha256) || present(signingKey);
}

void verifyDigests(const PackageDigests& digests, const PackageExpectations& expectations) {
  if (present(expectations.md5)) {
    std::string actual = digests.md5.value_or("");
    if (!equalIgnoringCase(*expectations.md5, actual)) {
      throw IntegrityError(integrity::checksumMismatch{*expectations.md5, actual});
    }
  }
  if (present(expectations.sha256)) {
    std::string actual = digests.sha256.value_or("");
    if (!equalIgnoringCase(*expectations.sha256, actual)) {
      throw IntegrityError(integrity::sha256Mismatch{*expectations.sha256, actual});
    }
  }
  if (!present(expectations.signingKey)) return;
  using Reason = integrity::signatureRejected::Reason;
  auto key = base64Decode(*expectations.signingKey);
  if (!key || key->size() != kSigningPublicKeyBytes) {
    throw IntegrityError(integrity::signatureRejected{Reason::malformedKey});
  }
  if (!present(expectations.signature)) {
    throw IntegrityError(integrity::signatureRejected{Reason::missing});
  }
  auto signature = base64Decode(*expectations.signature);
  if (!signature || signature->size() != kPackageSignatureBytes) {
    throw IntegrityError(integrity::signatureRejected{Reason::malformedSignature});
  }
  if (!digests.prehash) throw IntegrityError(integrity::signatureRejected{Reason::mismatch});
  // Finishing consumes the prehash state, so verify on a copy.
  crypto_sign_state state = digests.prehash->state;
  if (crypto_sign_final_verify(&state, reinterpret_cast<const unsigned char*>(signature->data()),
                               reinterpret_cast<const unsigned char*>(key->data())) != 0) {
    throw IntegrityError(integrity::signatureRejected{Reason::mismatch});
  }
}

IntegrityError::IntegrityError(Case value)
    : std::runtime_error(describe(value)), value_(std::move(value)) {}

std::int64_t fileSize(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<std::int64_t>(st.st_size);
}

std::string md5Hex(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
  }
  FdCloser closer{fd};
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  PackageDigester digester({.md5 = true, .sha256 = false, .signature = false});
  std::vector<unsigned char> buffer(kReadChunk);
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
    }
    if (n == 0) break;
    digester.update(buffer.data(), static_cast<std::size_t>(n));
  }
  return *digester.finish().md5;
}

void verifyChecksum(const std::filesystem::path& file, const std::optional<std::string>& expected) {
  if (!expected || expected->empty()) return;
  std::string actual = md5Hex(file);
  if (!equalIgnoringCase(*expected, actual)) {
    throw IntegrityError(integrity::checksumMismatch{*expected, actual});
  }
}

void verifyPackage(const std::filesystem::path& file, const std::optional<std::int64_t>& expectedSize,
                   const std::optional<std::string>& expected) {
  if (expectedSize && *expectedSize >= 1) {
    std::int64_t actual = fileSize(file);
    if (actual != *expectedSize) {
      throw IntegrityError(integrity::sizeMismatch{*expectedSize, actual});
    }
  }
  verifyChecksum(file, expected);
}

std::optional<std::int64_t> availableCapacity(const std::filesystem::path& path) {
  std::filesystem::path probe = path.empty() ? std::filesystem::path(".") : path;
  // The installation directory may not exist yet; its volume is the one of
  // the nearest ancestor that does.
  for (;;) {
    struct statvfs vfs {};
    if (::statvfs(probe.c_str(), &vfs) == 0) {
      return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
    }
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    std::filesystem::path parent = probe.parent_path();
    if (parent.empty() || parent == probe) return std::nullopt;
    probe = parent;
  }
}

bool disownsPackage(const std::string& description) {
  for (const char* prefix : {"sha256 mismatch: ", "package signature rejected: "}) {
    if (description.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

void checkDiskSpace(std::int64_t packageSize, const std::optional<std::int64_t>& available) {
  if (packageSize < 1) return;
  if (!available || *available <= 0) return;
  // 2.5 times, truncated, in integers so large sizes stay exact; a size
  // whose 2.5 times no volume could hold needs more than any has.
  std::int64_t needed = packageSize <= INT64_MAX / 5 * 2 ? packageSize * 2 + packageSize / 2 : INT64_MAX;
  if (*available <= needed) {
    throw IntegrityError(integrity::insufficientSpace{needed, *available});
  }
}

void checkDiskSpace(const std::filesystem::path& path, std::int64_t packageSize) {
  if (packageSize < 1) return;
  checkDiskSpace(packageSize, availableCapacity(path));
}

}  // namespace installer
