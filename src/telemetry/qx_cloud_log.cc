#include "telemetry/qx_cloud_log.h"

#include <mbedtls/sha256.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "logproducer/log_api.h"
#include "logproducer/log_producer_client.h"
#include "logproducer/log_producer_config.h"
#include "logproducer/log_producer_sender.h"
#include "platform/bundle.h"
#include "platform/proxy_resolver.h"
#include "platform/system_info.h"
#include "telemetry/qx_cloud_log_testing.h"

namespace {

std::mutex g_bridgeLock;
log_producer* g_producer = nullptr;         // guarded by g_bridgeLock
log_producer_client* g_client = nullptr;    // guarded by g_bridgeLock
installer::testing::LogProducerFactory g_factory = &create_log_producer;  // guarded too
std::atomic<installer::testing::MachineIdentifierSource> g_machineIdentifier{&installer::platform::platformUUID};

bool present(const char* text) { return text != nullptr && *text != '\0'; }

std::optional<std::filesystem::path> telemetrySpoolPath() {
  const std::filesystem::path support = installer::platform::applicationSupportDirectory();
  if (support.empty()) return std::nullopt;
  std::string id = installer::platform::Bundle::main().identifier();
  return support / (id.empty() ? std::string("installer") : id) / ".telemetry-spool";
}

// The desktop's proxy for each upload; the environment's where it has none.
int32_t lookUpProxy(const char* url, char* proxy, size_t proxySize, void*) {
  installer::platform::ProxyChoice choice = installer::platform::GioProxyResolver().proxyFor(url);
  if (choice.kind == installer::platform::ProxyChoice::Kind::environment) return LOG_PRODUCER_INVALID;
  const std::string& answer = choice.proxyURL;  // empty for a direct connection
  if (answer.size() >= proxySize) return LOG_PRODUCER_INVALID;
  std::memcpy(proxy, answer.c_str(), answer.size() + 1);
  return LOG_PRODUCER_OK;
}

void ignoreSendDone(const char*, log_producer_result, size_t, size_t, const char*, const char*,
                    const unsigned char*, void*) {}

}  // namespace

extern "C" bool qx_cl_init(const char* endpoint, const char* project, const char* logstore,
                           const char* access_key_id, const char* access_key_secret) {
  if (!present(endpoint) || !present(project) || !present(logstore) || !present(access_key_id) ||
      !present(access_key_secret)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(g_bridgeLock);
  if (g_producer != nullptr) return true;
  if (!is_log_producer_result_ok(log_producer_env_init())) return false;

  log_producer_config* config = create_log_producer_config();
  log_producer_config_set_endpoint(config, endpoint);
  log_producer_config_set_project(config, project);
  log_producer_config_set_logstore(config, logstore);
  log_producer_config_set_access_id(config, access_key_id);
  log_producer_config_set_access_key(config, access_key_secret);
  log_producer_config_set_packet_log_bytes(config, 4 * 1024 * 1024);
  log_producer_config_set_packet_log_count(config, 4096);
  log_producer_config_set_packet_timeout(config, 3000);
  log_producer_config_set_max_buffer_limit(config, 64 * 1024 * 1024);
  log_producer_config_set_send_thread_count(config, 4);
  log_producer_config_set_proxy_lookup(config, &lookUpProxy, nullptr);
  // Batches the producer could not deliver before a quit wait here for the
  // next start; a dot-name, so pruning the package cache beside it keeps it.
  // The producer creates the file (and any missing directory) private.
  if (auto spool = telemetrySpoolPath()) log_producer_config_set_spool_file(config, spool->c_str());
  async_fetch_server_time_from_service(config);

  log_producer* producer = g_factory(config, &ignoreSendDone, nullptr);
  if (producer == nullptr) {
    // A refused configuration stays ours.
    destroy_log_producer_config(config);
    log_producer_env_destroy();
    return false;
  }
  log_producer_client* client = get_log_producer_client(producer, nullptr);
  if (client == nullptr) {
    destroy_log_producer(producer);
    log_producer_env_destroy();
    return false;
  }
  g_producer = producer;
  g_client = client;
  return true;
}

extern "C" bool qx_cl_add_log(const char* activity, const char* attribute, const char* uuid) {
  if (!present(activity)) return false;
  char braced[80];
  std::snprintf(braced, sizeof braced, "{%s}", uuid != nullptr ? uuid : "");
  std::lock_guard<std::mutex> lock(g_bridgeLock);
  if (g_client == nullptr) return false;
  log_producer_result result = log_producer_client_add_log(
      g_client, 10, "Attribute", attribute != nullptr ? attribute : "", "Activity", activity,
      "GenerateUuid", braced, "Window", "AppDownloader", "Timestamp", "0");
  return is_log_producer_result_ok(result) != 0;
}

extern "C" void qx_cl_shutdown(void) {
  std::lock_guard<std::mutex> lock(g_bridgeLock);
  if (g_producer == nullptr) return;
  destroy_log_producer(g_producer);
  g_producer = nullptr;
  g_client = nullptr;
  log_producer_env_destroy();
}

extern "C" void qx_cl_machine_id(char* out, size_t size, int mode) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  std::optional<std::string> uuid = g_machineIdentifier.load()();
  // The identifier must fit a 64-byte text buffer with its NUL, as the
  // registry property does on the original platform.
  if (!uuid || uuid->size() >= 64) return;

  if (mode == 1) {
    if (size < uuid->size() + 1) return;
    for (size_t i = 0; i < uuid->size(); ++i) {
      out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>((*uuid)[i])));
    }
    out[uuid->size()] = '\0';
    return;
  }

  if (size <= 64) return;
  char text[128];
  int length = std::snprintf(text, sizeof text, "darwin|%s", uuid->c_str());
  if (length < 1 || length > 127) return;
  unsigned char digest[32];
  if (mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(text), static_cast<size_t>(length),
                         digest, 0) != 0) {
    return;
  }
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof digest; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  out[64] = '\0';
}

namespace installer::testing {

ScopedLogProducerFactory::ScopedLogProducerFactory(LogProducerFactory factory)
    : previous_(nullptr) {
  std::lock_guard<std::mutex> lock(g_bridgeLock);
  previous_ = g_factory;
  g_factory = factory;
}

ScopedLogProducerFactory::~ScopedLogProducerFactory() {
  std::lock_guard<std::mutex> lock(g_bridgeLock);
  g_factory = previous_;
}

ScopedMachineIdentifierSource::ScopedMachineIdentifierSource(MachineIdentifierSource source)
    : previous_(g_machineIdentifier.exchange(source)) {}

ScopedMachineIdentifierSource::~ScopedMachineIdentifierSource() { g_machineIdentifier.store(previous_); }

}  // namespace installer::testing
