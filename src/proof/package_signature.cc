#include "proof/package_signature.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <sodium.h>

namespace installer {
namespace {

constexpr std::size_t kReadChunk = 1 << 20;

void initSodiumOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
  });
}

std::string trimmed(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

}  // namespace

SigningKeyPair generateSigningKeyPair() {
  initSodiumOnce();
  SigningKeyPair pair;
  pair.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
  pair.secretKey.resize(crypto_sign_SECRETKEYBYTES);
  crypto_sign_keypair(reinterpret_cast<unsigned char*>(pair.publicKey.data()),
                      reinterpret_cast<unsigned char*>(pair.secretKey.data()));
  return pair;
}

std::optional<std::string> signingPublicKeyOf(const std::string& secretKey) {
  initSodiumOnce();
  if (secretKey.size() != crypto_sign_SECRETKEYBYTES) return std::nullopt;
  std::string publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
  crypto_sign_ed25519_sk_to_pk(reinterpret_cast<unsigned char*>(publicKey.data()),
                               reinterpret_cast<const unsigned char*>(secretKey.data()));
  return publicKey;
}

std::string signPackageFile(const std::filesystem::path& file, const std::string& secretKey) {
  initSodiumOnce();
  if (secretKey.size() != crypto_sign_SECRETKEYBYTES) {
    throw std::invalid_argument("a signing secret key has 64 bytes");
  }
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
  crypto_sign_state state;
  crypto_sign_init(&state);
  std::vector<unsigned char> buffer(kReadChunk);
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category(), "cannot read " + file.string());
    }
    if (n == 0) break;
    crypto_sign_update(&state, buffer.data(), static_cast<unsigned long long>(n));
  }
  ::close(fd);
  std::string signature(crypto_sign_BYTES, '\0');
  crypto_sign_final_create(&state, reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                           reinterpret_cast<const unsigned char*>(secretKey.data()));
  return signature;
}

std::optional<std::string> readSigningSecretKey(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  auto key = base64Decode(text.str());
  if (!key || key->size() != crypto_sign_SECRETKEYBYTES) return std::nullopt;
  return key;
}

bool writeSigningSecretKey(const std::filesystem::path& file, const std::string& secretKey) {
  if (secretKey.size() != crypto_sign_SECRETKEYBYTES) return false;
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::fchmod(fd, 0600);
  std::string line = base64Encode(secretKey) + "\n";
  bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  return ::close(fd) == 0 && ok;
}

std::string base64Encode(const std::string& raw) {
  initSodiumOnce();
  const int variant = sodium_base64_VARIANT_ORIGINAL;
  std::string text(sodium_base64_ENCODED_LEN(raw.size(), variant), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(raw.data()),
                    raw.size(), variant);
  text.resize(text.size() - 1);  // the terminating NUL
  return text;
}

std::optional<std::string> base64Decode(const std::string& text) {
  initSodiumOnce();
  std::string clean = trimmed(text);
  std::string raw(clean.size() / 4 * 3 + 3, '\0');
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(raw.data()), raw.size(), clean.data(),
                        clean.size(), nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != clean.data() + clean.size()) {
    return std::nullopt;
  }
  raw.resize(length);
  return raw;
}

}  // namespace installer
