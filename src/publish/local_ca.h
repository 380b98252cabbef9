// A throwaway certificate authority for the demo service: a fresh CA and a
// server certificate for 127.0.0.1, ::1 and localhost, made in memory with
// OpenSSL each time the service starts. Nothing here is trusted by the
// system; clients trust it by pointing their CA bundle at `caPath`.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace installer::demo {

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct EvpKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

struct LocalCertificates {
  std::unique_ptr<X509, X509Free> caCert;
  std::unique_ptr<EVP_PKEY, EvpKeyFree> caKey;
  std::unique_ptr<X509, X509Free> serverCert;
  std::unique_ptr<EVP_PKEY, EvpKeyFree> serverKey;

  std::string caPEM() const;
  std::string serverCertPEM() const;
  std::string serverKeyPEM() const;
};

// A new CA (valid 30 days) and a server certificate it signed for the
// loopback names. Throws std::runtime_error with OpenSSL's reason when
// OpenSSL refuses.
LocalCertificates makeLocalCertificates();

// Writes ca.pem, server.pem and server-key.pem (mode 0600) into `directory`,
// creating it. Throws std::runtime_error when a file cannot be written.
void writeCertificates(const LocalCertificates& certs, const std::filesystem::path& directory);

}  // namespace installer::demo
