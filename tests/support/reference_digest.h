// Digests computed by OpenSSL, independently of the code under test, for
// tests that check the program's own MD5 and SHA-256 results.
#pragma once

#include <openssl/evp.h>

#include <string>

namespace installer::testing {

// `kind` (EVP_md5(), EVP_sha256(), …) of `data` as lower-case hex.
std::string referenceHexDigest(const std::string& data, const EVP_MD* kind);

}  // namespace installer::testing
