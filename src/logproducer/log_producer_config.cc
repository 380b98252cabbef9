#include "logproducer/log_producer_config.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "logproducer/log_api.h"

namespace {

void replace(sds *field, const char *value) {
    sdsfree(*field);
    *field = sdsnew(value);
}

std::mutex *token_lock(log_producer_config *config) {
    return static_cast<std::mutex *>(config->securityTokenLock);
}

// Serialises the first creation of a config's token lock.
std::mutex g_token_lock_creation;

}  // namespace

extern "C" {

log_producer_config *create_log_producer_config(void) {
    auto *config = static_cast<log_producer_config *>(std::calloc(1, sizeof(log_producer_config)));
    if (config == nullptr) std::abort();
    config->packetTimeout = 3000;
    config->logCountPerPackage = 2048;
    config->logBytesPerPackage = 3 * 1024 * 1024;
    config->maxBufferBytes = 64 * 1024 * 1024;
    config->connectTimeoutSec = 10;
    config->sendTimeoutSec = 15;
    config->destroyFlusherWaitSec = 1;
    config->destroySenderWaitSec = 1;
    config->compressType = 1;
    config->spoolMaxBytes = 4 * 1024 * 1024;
    return config;
}

void destroy_log_producer_config(log_producer_config *config) {
    if (config == nullptr) return;
    sdsfree(config->endpoint);
    sdsfree(config->project);
    sdsfree(config->logstore);
    sdsfree(config->accessKeyId);
    sdsfree(config->accessKey);
    sdsfree(config->securityToken);
    sdsfree(config->topic);
    sdsfree(config->source);
    sdsfree(config->netInterface);
    sdsfree(config->spoolPath);
    for (int32_t i = 0; i < config->tagCount; ++i) {
        sdsfree(config->tags[i].key);
        sdsfree(config->tags[i].value);
    }
    std::free(config->tags);
    delete token_lock(config);
    std::free(config);
}

void log_producer_config_set_endpoint(log_producer_config *config, const char *endpoint) {
    if (config == nullptr || endpoint == nullptr) return;
    if (std::strncmp(endpoint, "http://", 7) == 0) endpoint += 7;
    else if (std::strncmp(endpoint, "https://", 8) == 0) endpoint += 8;
    replace(&config->endpoint, endpoint);
}

void log_producer_config_set_project(log_producer_config *config, const char *project) {
    if (config == nullptr || project == nullptr) return;
    replace(&config->project, project);
}

void log_producer_config_set_logstore(log_producer_config *config, const char *logstore) {
    if (config == nullptr || logstore == nullptr) return;
    replace(&config->logstore, logstore);
}

void log_producer_config_set_access_id(log_producer_config *config, const char *access_id) {
    if (config == nullptr || access_id == nullptr) return;
    replace(&config->accessKeyId, access_id);
}

void log_producer_config_set_access_key(log_producer_config *config, const char *access_key) {
    if (config == nullptr || access_key == nullptr) return;
    replace(&config->accessKey, access_key);
}

void log_producer_config_set_topic(log_producer_config *config, const char *topic) {
    if (config == nullptr || topic == nullptr) return;
    replace(&config->topic, topic);
}

void log_producer_config_set_source(log_producer_config *config, const char *source) {
    if (config == nullptr || source == nullptr) return;
    replace(&config->source, source);
}

void log_producer_config_add_tag(log_producer_config *config, const char *key, const char *value) {
    if (config == nullptr || key == nullptr || value == nullptr) return;
    if (config->tagCount == config->tagAllocSize) {
        int32_t capacity = config->tagAllocSize == 0 ? 4 : config->tagAllocSize * 2;
        auto *grown = static_cast<log_producer_config_tag *>(
            std::realloc(config->tags, sizeof(log_producer_config_tag) * static_cast<size_t>(capacity)));
        if (grown == nullptr) std::abort();
        config->tags = grown;
        config->tagAllocSize = capacity;
    }
    config->tags[config->tagCount].key = sdsnew(key);
    config->tags[config->tagCount].value = sdsnew(value);
    ++config->tagCount;
}

void log_producer_config_set_send_thread_count(log_producer_config *config, int32_t thread_count) {
    if (config == nullptr || thread_count < 0) return;
    config->sendThreadCount = thread_count;
}

void log_producer_config_set_packet_timeout(log_producer_config *config, int32_t time_out_ms) {
    if (config == nullptr || time_out_ms < 0) return;
    config->packetTimeout = time_out_ms;
}

void log_producer_config_set_packet_log_count(log_producer_config *config, int32_t log_count) {
    if (config == nullptr || log_count < 0) return;
    config->logCountPerPackage = log_count;
}

void log_producer_config_set_packet_log_bytes(log_producer_config *config, int32_t log_bytes) {
    if (config == nullptr || log_bytes < 0) return;
    config->logBytesPerPackage = log_bytes;
}

void log_producer_config_set_max_buffer_limit(log_producer_config *config, int64_t max_buffer_bytes) {
    if (config == nullptr || max_buffer_bytes < 0) return;
    config->maxBufferBytes = static_cast<int32_t>(static_cast<uint32_t>(max_buffer_bytes));
}

void log_producer_config_set_log_queue_size(log_producer_config *config, int32_t queue_size) {
    if (config == nullptr || queue_size < 0) return;
    config->logQueueSize = queue_size;
}

void log_producer_config_set_net_interface(log_producer_config *config, const char *net_interface) {
    if (config == nullptr || net_interface == nullptr) return;
    replace(&config->netInterface, net_interface);
}

void log_producer_config_set_connect_timeout_sec(log_producer_config *config, int32_t connect_timeout_sec) {
    if (config == nullptr || connect_timeout_sec <= 0) return;
    config->connectTimeoutSec = connect_timeout_sec;
}

void log_producer_config_set_send_timeout_sec(log_producer_config *config, int32_t send_timeout_sec) {
    if (config == nullptr || send_timeout_sec <= 0) return;
    config->sendTimeoutSec = send_timeout_sec;
}

void log_producer_config_set_destroy_flusher_wait_sec(log_producer_config *config, int32_t wait_sec) {
    if (config == nullptr || wait_sec <= 0) return;
    config->destroyFlusherWaitSec = wait_sec;
}

void log_producer_config_set_destroy_sender_wait_sec(log_producer_config *config, int32_t wait_sec) {
    if (config == nullptr || wait_sec <= 0) return;
    config->destroySenderWaitSec = wait_sec;
}

void log_producer_config_set_compress_type(log_producer_config *config, int32_t compress_type) {
    if (config == nullptr || (compress_type != 0 && compress_type != 1)) return;
    config->compressType = compress_type;
}

void log_producer_config_set_ntp_time_offset(log_producer_config *config, int32_t ntp_time_offset) {
    if (config == nullptr) return;
    config->ntpTimeOffset = ntp_time_offset;
}

void log_producer_config_set_spool_file(log_producer_config *config, const char *path) {
    if (config == nullptr || path == nullptr || *path == '\0') return;
    replace(&config->spoolPath, path);
}

void log_producer_config_set_spool_max_bytes(log_producer_config *config, int64_t max_bytes) {
    if (config == nullptr || max_bytes <= 0) return;
    config->spoolMaxBytes = max_bytes;
}

void log_producer_config_set_proxy_lookup(log_producer_config *config, log_producer_proxy_lookup lookup,
                                          void *user_data) {
    if (config == nullptr) return;
    config->proxyLookup = lookup;
    config->proxyLookupUserData = lookup != nullptr ? user_data : nullptr;
}

void log_producer_config_reset_security_token(log_producer_config *config, const char *access_id,
                                              const char *access_secret, const char *security_token) {
    if (config == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(g_token_lock_creation);
        if (config->securityTokenLock == nullptr) config->securityTokenLock = new std::mutex();
    }
    std::lock_guard<std::mutex> guard(*token_lock(config));
    if (access_id != nullptr) replace(&config->accessKeyId, access_id);
    if (access_secret != nullptr) replace(&config->accessKey, access_secret);
    if (security_token != nullptr) replace(&config->securityToken, security_token);
}

void log_producer_config_get_security(log_producer_config *config, sds *access_id,
                                      sds *access_secret, sds *security_token) {
    if (config == nullptr) return;
    auto copy = [&] {
        *access_id = sdsnew(config->accessKeyId);
        *access_secret = sdsnew(config->accessKey);
        if (config->securityToken != nullptr) *security_token = sdsnew(config->securityToken);
    };
    std::unique_lock<std::mutex> creation(g_token_lock_creation);
    std::mutex *lock = token_lock(config);
    if (lock == nullptr) {
        // No token was ever set; holding the creation lock keeps a first
        // reset from changing the strings while we copy them.
        copy();
        return;
    }
    creation.unlock();
    std::lock_guard<std::mutex> guard(*lock);
    copy();
}

int log_producer_config_is_valid(log_producer_config *config) {
    if (config == nullptr) {
        lp_error_log("invalid producer config");
        return 0;
    }
    if (config->endpoint == nullptr || config->project == nullptr || config->logstore == nullptr) {
        lp_error_log("invalid producer config destination params");
        return 0;
    }
    if (config->accessKey == nullptr || config->accessKeyId == nullptr) {
        lp_error_log("invalid producer config authority params");
        return 0;
    }
    if (config->packetTimeout < 0 || config->maxBufferBytes < 0 || config->logCountPerPackage < 0 ||
        config->logBytesPerPackage < 0) {
        lp_error_log("invalid producer config log merge and buffer params");
        return 0;
    }
    return 1;
}

}  // extern "C"
