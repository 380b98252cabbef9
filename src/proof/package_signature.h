// Ed25519 package signatures in the prehashed (Ed25519ph) form, so that a
// package of any size is signed and verified in one streaming pass, and
// the Base64 text form keys and signatures travel in (Info.plist, the
// update-check answer, the signing tool).
//
// Keys and signatures are raw byte strings here: a public key is 32 bytes,
// a secret key 64 bytes (libsodium's layout: seed followed by the public
// key), a signature 64 bytes. Plain functions; any thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace installer {

inline constexpr std::size_t kSigningPublicKeyBytes = 32;
inline constexpr std::size_t kSigningSecretKeyBytes = 64;
inline constexpr std::size_t kPackageSignatureBytes = 64;

struct SigningKeyPair {
  std::string publicKey;  // raw, 32 bytes
  std::string secretKey;  // raw, 64 bytes; keep it private
};

// A fresh key pair from the system's random source.
SigningKeyPair generateSigningKeyPair();

// The public half of a raw secret key; absent when it is not 64 bytes.
std::optional<std::string> signingPublicKeyOf(const std::string& secretKey);

// The raw Ed25519ph signature of the whole file, read in one streaming
// pass. Throws std::system_error when the file cannot be read and
// std::invalid_argument for a secret key of the wrong size.
std::string signPackageFile(const std::filesystem::path& file, const std::string& secretKey);

// The signing tool's secret-key file: the Base64 of the 64-byte secret key
// on one line. Absent when the file cannot be read or holds anything else.
std::optional<std::string> readSigningSecretKey(const std::filesystem::path& file);
// Writes it, readable by the owner only. False when it cannot be written.
bool writeSigningSecretKey(const std::filesystem::path& file, const std::string& secretKey);

// Standard Base64 with padding ("+/", "=").
std::string base64Encode(const std::string& raw);
// Absent when `text` (surrounding white space ignored) is not standard
// Base64 with padding.
std::optional<std::string> base64Decode(const std::string& text);

}  // namespace installer
