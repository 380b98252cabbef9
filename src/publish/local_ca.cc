#include "publish/local_ca.h"

#include <fstream>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

namespace installer::demo {

namespace {

[[noreturn]] void fail(const std::string& what) {
  unsigned long code = ERR_get_error();
  char reason[256] = "unknown";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  throw std::runtime_error("local CA: " + what + ": " + reason);
}

std::unique_ptr<EVP_PKEY, EvpKeyFree> makeKey() {
  // P-256 keys are made in microseconds, unlike RSA.
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) fail("cannot make a key");
  return std::unique_ptr<EVP_PKEY, EvpKeyFree>(key);
}

void setRandomSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) fail("no random serial");
  bytes[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  if (!bn || !BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert))) {
    BN_free(bn);
    fail("cannot set serial");
  }
  BN_free(bn);
}

void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
  if (!ext) fail(std::string("bad extension ") + value);
  int ok = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  if (!ok) fail("cannot add extension");
}

std::unique_ptr<X509, X509Free> makeCert(const char* commonName, EVP_PKEY* key,
                                         X509* issuer, EVP_PKEY* issuerKey, bool isCA) {
  std::unique_ptr<X509, X509Free> cert(X509_new());
  if (!cert) fail("no certificate");
  X509_set_version(cert.get(), 2);
  setRandomSerial(cert.get());
  // A little slack backwards for clocks that disagree.
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
  X509_set_pubkey(cert.get(), key);

  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Installer demo"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));

  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, signer, cert.get(), nullptr, nullptr, 0);
  addExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  addExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
  if (isCA) {
    addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    addExtension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), &ctx, NID_key_usage, "critical,digitalSignature");
    addExtension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), &ctx, NID_subject_alt_name,
                 "DNS:localhost,IP:127.0.0.1,IP:::1");
  }
  if (!X509_sign(cert.get(), issuerKey, EVP_sha256())) fail("cannot sign");
  return cert;
}

template <typename Write>
std::string toPEM(Write write) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) fail("no memory BIO");
  if (!write(bio)) {
    BIO_free(bio);
    fail("cannot write PEM");
  }
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
}

void writeFile(const std::filesystem::path& path, const std::string& text, bool secret) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("local CA: cannot write " + path.string());
  if (secret) ::chmod(path.c_str(), 0600);
}

}  // namespace

std::string LocalCertificates::caPEM() const {
  return toPEM([&](BIO* b) { return PEM_write_bio_X509(b, caCert.get()); });
}
std::string LocalCertificates::serverCertPEM() const {
  return toPEM([&](BIO* b) { return PEM_write_bio_X509(b, serverCert.get()); });
}
std::string LocalCertificates::serverKeyPEM() const {
  return toPEM([&](BIO* b) {
    return PEM_write_bio_PrivateKey(b, serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
}

LocalCertificates makeLocalCertificates() {
  LocalCertificates certs;
  certs.caKey = makeKey();
  certs.caCert = makeCert("Installer demo local CA", certs.caKey.get(), nullptr,
                          certs.caKey.get(), true);
  certs.serverKey = makeKey();
  certs.serverCert = makeCert("localhost", certs.serverKey.get(), certs.caCert.get(),
                              certs.caKey.get(), false);
  return certs;
}

void writeCertificates(const LocalCertificates& certs, const std::filesystem::path& directory) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) throw std::runtime_error("local CA: cannot create " + directory.string());
  writeFile(directory / "ca.pem", certs.caPEM(), false);
  writeFile(directory / "server.pem", certs.serverCertPEM(), false);
  writeFile(directory / "server-key.pem", certs.serverKeyPEM(), true);
}

}  // namespace installer::demo
