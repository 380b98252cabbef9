#include "support/loopback_https_server.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <stdexcept>

namespace installer::testing {

namespace {

struct FileCloser {
  void operator()(FILE* f) const { if (f) std::fclose(f); }
};

bool writeKey(const std::filesystem::path& file, EVP_PKEY* key) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(file.c_str(), "wb"));
  return f && PEM_write_PrivateKey(f.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

bool writeCert(const std::filesystem::path& file, X509* cert) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(file.c_str(), "wb"));
  return f && PEM_write_X509(f.get(), cert) == 1;
}

bool addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

X509* newCertificate(EVP_PKEY* key, const std::string& commonName, long serial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                             -1, 0);
  return cert;
}

bool isIPAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

bool makeTestCertificates(const std::filesystem::path& dir,
                          const std::vector<std::string>& hostNames) {
  EVP_PKEY* caKey = EVP_EC_gen("P-256");
  EVP_PKEY* serverKey = EVP_EC_gen("P-256");
  X509* ca = nullptr;
  X509* server = nullptr;
  bool ok = caKey != nullptr && serverKey != nullptr;
  if (ok) {
    ca = newCertificate(caKey, "Installer Test CA", 1);
    X509_set_issuer_name(ca, X509_get_subject_name(ca));
    ok = addExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         addExtension(ca, ca, NID_subject_key_identifier, "hash") &&
         X509_sign(ca, caKey, EVP_sha256()) != 0;
  }
  if (ok) {
    server = newCertificate(serverKey, "localhost", 2);
    X509_set_issuer_name(server, X509_get_subject_name(ca));
    std::string san;
    for (const std::string& host : hostNames) {
      if (!san.empty()) san += ",";
      san += (isIPAddress(host) ? "IP:" : "DNS:") + host;
    }
    ok = addExtension(server, ca, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(server, ca, NID_key_usage, "critical,digitalSignature") &&
         addExtension(server, ca, NID_ext_key_usage, "serverAuth") &&
         addExtension(server, ca, NID_authority_key_identifier, "keyid") &&
         addExtension(server, ca, NID_subject_alt_name, san) &&
         X509_sign(server, caKey, EVP_sha256()) != 0;
  }
  if (ok) {
    ok = writeCert(dir / "ca.pem", ca) && writeKey(dir / "ca.key", caKey) &&
         writeCert(dir / "server.pem", server) && writeKey(dir / "server.key", serverKey);
  }
  X509_free(server);
  X509_free(ca);
  EVP_PKEY_free(serverKey);
  EVP_PKEY_free(caKey);
  return ok;
}

LoopbackHttpsServer::LoopbackHttpsServer(std::vector<std::string> extraHostNames) {
  std::string pattern = (std::filesystem::temp_directory_path() / "loopback-https-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  std::vector<std::string> names = {"127.0.0.1", "127.0.0.2", "::1", "localhost"};
  names.insert(names.end(), extraHostNames.begin(), extraHostNames.end());
  if (!makeTestCertificates(dir_, names)) {
    throw std::runtime_error("cannot make test certificates");
  }
  server_ = std::make_unique<httplib::SSLServer>(certificatePath().c_str(),
                                                 privateKeyPath().c_str());
  if (!server_->is_valid()) throw std::runtime_error("cannot create the TLS server");
}

LoopbackHttpsServer::~LoopbackHttpsServer() {
  stop();
  server_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void LoopbackHttpsServer::start(const std::string& address) {
  if (started_) return;
  address_ = address;
  // Header and body go out in separate writes; without this the body
  // waits for the client's delayed acknowledgement (about 40 ms).
  server_->set_tcp_nodelay(true);
  port_ = server_->bind_to_any_port(address_);
  if (port_ <= 0) {
    port_ = 0;
    return;
  }
  started_ = true;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // listen_after_bind marks the server running before it accepts; the
  // socket is already listening, so connections queue up until then.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void LoopbackHttpsServer::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (!started_) return;
  started_ = false;
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool LoopbackHttpsServer::waitUntilStopping(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, limit, [this] { return stopping_; });
}

std::string LoopbackHttpsServer::url(const std::string& path) const {
  return "https://" + address_ + ":" + std::to_string(port_) + path;
}

std::string LoopbackHttpsServer::urlWithHost(const std::string& host,
                                             const std::string& path) const {
  std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return "https://" + h + ":" + std::to_string(port_) + path;
}

}  // namespace installer::testing
