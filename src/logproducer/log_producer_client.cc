#include "logproducer/log_producer_client.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "logproducer/log_producer_manager.h"
#include "logproducer/log_producer_sender.h"

#include <curl/curl.h>

namespace {

struct producer_client_private {
    log_producer_manager *producer_manager;
    log_producer_config *producer_config;
};

bool g_env_initialized = false;
log_producer_result g_env_result = LOG_PRODUCER_OK;

bool client_valid(log_producer_client *client) {
    return client != nullptr &&
           std::atomic_ref<int32_t>(client->valid_flag).load(std::memory_order_acquire) != 0;
}

log_producer_manager *manager_of(log_producer_client *client) {
    return static_cast<producer_client_private *>(client->private_data)->producer_manager;
}

}  // namespace

log_producer_manager *log_producer_client_manager(log_producer_client *client) {
    return client == nullptr ? nullptr : manager_of(client);
}

extern "C" {

log_producer_result log_producer_env_init(void) {
    if (g_env_initialized) return g_env_result;
    g_env_initialized = true;
    int code = log_http_init();
    if (code != 0) {
        lp_error_log("curl_global_init failure, code:%d %s.\n", code,
                     curl_easy_strerror(static_cast<CURLcode>(code)));
        g_env_result = LOG_PRODUCER_INVALID;
    } else {
        g_env_result = LOG_PRODUCER_OK;
    }
    return g_env_result;
}

void log_producer_env_destroy(void) {
    if (!g_env_initialized) return;
    g_env_initialized = false;
    // Never waits for a clock-synchronisation request still running: quitting
    // must not hang on an unreachable service.
    log_http_destroy();
}

log_producer *create_log_producer(log_producer_config *config,
                                  on_log_producer_send_done_function send_done_function, void *user_param) {
    if (!log_producer_config_is_valid(config)) return nullptr;
    auto *producer = static_cast<log_producer *>(std::calloc(1, sizeof(log_producer)));
    auto *client = static_cast<log_producer_client *>(std::calloc(1, sizeof(log_producer_client)));
    auto *priv = static_cast<producer_client_private *>(std::calloc(1, sizeof(producer_client_private)));
    if (producer == nullptr || client == nullptr || priv == nullptr) std::abort();
    priv->producer_config = config;
    priv->producer_manager = create_log_producer_manager(config);
    // Set before any batch can reach a sender; senders read them without a lock.
    {
        std::lock_guard<std::mutex> guard(priv->producer_manager->lock);
        priv->producer_manager->send_done_function = send_done_function;
        priv->producer_manager->user_param = user_param;
    }
    lp_debug_log("create producer client success, config : %s", config->logstore);
    client->private_data = priv;
    std::atomic_ref<int32_t>(client->valid_flag).store(1, std::memory_order_release);
    producer->root_client = client;
    return producer;
}

void destroy_log_producer(log_producer *producer) {
    if (producer == nullptr) return;
    log_producer_client *client = producer->root_client;
    std::atomic_ref<int32_t>(client->valid_flag).store(0, std::memory_order_release);
    auto *priv = static_cast<producer_client_private *>(client->private_data);
    destroy_log_producer_manager(priv->producer_manager);
    destroy_log_producer_config(priv->producer_config);
    std::free(priv);
    std::free(client);
    std::free(producer);
}

log_producer_client *get_log_producer_client(log_producer *producer, const char *config_name) {
    (void)config_name;
    return producer == nullptr ? nullptr : producer->root_client;
}

log_producer_result log_producer_client_add_log(log_producer_client *client, int32_t kv_count, ...) {
    if (!client_valid(client)) return LOG_PRODUCER_INVALID;
    int32_t pairs = kv_count / 2;
    if (pairs < 0) pairs = 0;
    // Small events stay on the stack; no allocation per log.
    constexpr int32_t kStackPairs = 32;
    char *keysStack[kStackPairs];
    char *valuesStack[kStackPairs];
    size_t keyLensStack[kStackPairs];
    size_t valueLensStack[kStackPairs];
    std::vector<char *> keysHeap, valuesHeap;
    std::vector<size_t> keyLensHeap, valueLensHeap;
    char **keys = keysStack;
    char **values = valuesStack;
    size_t *keyLens = keyLensStack;
    size_t *valueLens = valueLensStack;
    if (pairs > kStackPairs) {
        keysHeap.resize(static_cast<size_t>(pairs));
        valuesHeap.resize(static_cast<size_t>(pairs));
        keyLensHeap.resize(static_cast<size_t>(pairs));
        valueLensHeap.resize(static_cast<size_t>(pairs));
        keys = keysHeap.data();
        values = valuesHeap.data();
        keyLens = keyLensHeap.data();
        valueLens = valueLensHeap.data();
    }
    va_list ap;
    va_start(ap, kv_count);
    for (int32_t i = 0; i < pairs; ++i) {
        keys[i] = va_arg(ap, char *);
        values[i] = va_arg(ap, char *);
        keyLens[i] = std::strlen(keys[i]);
        valueLens[i] = std::strlen(values[i]);
    }
    va_end(ap);
    return log_producer_manager_add_log(manager_of(client), pairs, keys, keyLens, values, valueLens, 0);
}

log_producer_result log_producer_client_add_log_with_len(log_producer_client *client, int32_t pair_count,
                                                         char **keys, size_t *key_lens, char **values,
                                                         size_t *val_lens, int flush) {
    if (!client_valid(client)) return LOG_PRODUCER_INVALID;
    return log_producer_manager_add_log(manager_of(client), pair_count, keys, key_lens, values, val_lens, flush);
}

log_producer_result log_producer_client_add_log_with_len_time(log_producer_client *client, uint32_t time_sec,
                                                              int32_t pair_count, char **keys, size_t *key_lens,
                                                              char **values, size_t *val_lens, int flush) {
    if (!client_valid(client)) return LOG_PRODUCER_INVALID;
    return log_producer_manager_add_log_with_time(manager_of(client), time_sec, pair_count, keys, key_lens, values,
                                                  val_lens, flush);
}

log_producer_result log_producer_client_add_raw_log_buffer(log_producer_client *client, size_t log_bytes,
                                                           size_t compressed_bytes,
                                                           const unsigned char *raw_buffer) {
    if (!client_valid(client)) return LOG_PRODUCER_INVALID;
    return log_producer_manager_send_raw_buffer(manager_of(client), log_bytes, compressed_bytes, raw_buffer);
}

void log_producer_client_network_recover(log_producer_client *client) {
    if (client == nullptr) return;
    manager_of(client)->networkRecover.store(1);
}

}  // extern "C"
