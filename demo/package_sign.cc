// package_sign: signs installer packages for PackageSigningPublicKey.
//
//   package_sign keygen KEY_FILE          new key pair; the secret half goes
//                                         to KEY_FILE (mode 600), the public
//                                         half is printed
//   package_sign public-key KEY_FILE      prints the public half
//   package_sign sign KEY_FILE PACKAGE    prints the package's sha256 and
//                                         its signature, the two fields of
//                                         the update-check answer, and the
//                                         public key
//
// Output lines are "name: value". The public key (Base64) is what goes into
// the installer's Info.plist as PackageSigningPublicKey.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "proof/integrity.h"
#include "proof/package_signature.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: package_sign keygen KEY_FILE\n"
               "       package_sign public-key KEY_FILE\n"
               "       package_sign sign KEY_FILE PACKAGE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace installer;
  if (argc < 3) return usage();
  const std::string command = argv[1];
  const std::filesystem::path keyFile = argv[2];
  try {
    if (command == "keygen" && argc == 3) {
      if (std::filesystem::exists(keyFile)) {
        std::fprintf(stderr, "package_sign: %s exists; not overwriting a key\n", keyFile.c_str());
        return 1;
      }
      auto pair = generateSigningKeyPair();
      if (!writeSigningSecretKey(keyFile, pair.secretKey)) {
        std::fprintf(stderr, "package_sign: cannot write %s\n", keyFile.c_str());
        return 1;
      }
      std::printf("public key: %s\n", base64Encode(pair.publicKey).c_str());
      return 0;
    }
    auto secretKey = readSigningSecretKey(keyFile);
    if (!secretKey) {
      std::fprintf(stderr, "package_sign: %s is not a signing key file\n", keyFile.c_str());
      return 1;
    }
    const std::string publicKey = base64Encode(*signingPublicKeyOf(*secretKey));
    if (command == "public-key" && argc == 3) {
      std::printf("public key: %s\n", publicKey.c_str());
      return 0;
    }
    if (command == "sign" && argc == 4) {
      const std::filesystem::path package = argv[3];
      auto digests = digestFile(package, {.md5 = true, .sha256 = true, .signature = false});
      std::printf("md5: %s\n", digests.md5->c_str());
      std::printf("sha256: %s\n", digests.sha256->c_str());
      std::printf("signature: %s\n", base64Encode(signPackageFile(package, *secretKey)).c_str());
      std::printf("public key: %s\n", publicKey.c_str());
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "package_sign: %s\n", e.what());
    return 1;
  }
  return usage();
}
