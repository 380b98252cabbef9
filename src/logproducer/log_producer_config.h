/* Configuration of a log producer.
 *
 * Created with defaults by create_log_producer_config and changed through the
 * setters; every setter ignores an absent config and the values its rule
 * refuses. The config owns copies of all its strings and tags. Once handed to
 * create_log_producer, the producer owns it and destroys it with itself; only
 * log_producer_config_reset_security_token may be called after that (from any
 * thread), everything else belongs to the thread that builds the config.
 */
#ifndef LOGPRODUCER_LOG_PRODUCER_CONFIG_H
#define LOGPRODUCER_LOG_PRODUCER_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include "logproducer/sds.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Chooses the proxy of one upload. Called on the thread that sends, with the
 * request's URL; writes into `proxy` (`proxy_size` bytes, NUL-terminated)
 * the proxy to use ("http://host:port", "socks5://host:port", ...) or ""
 * for a direct connection, and returns LOG_PRODUCER_OK. Any other result
 * leaves the choice to the HTTP library, which reads the environment's
 * proxy variables. Must be thread-safe. */
typedef int32_t (*log_producer_proxy_lookup)(const char *url, char *proxy, size_t proxy_size, void *user_data);

typedef struct log_producer_config_tag {
    sds key;
    sds value;
} log_producer_config_tag;

typedef struct log_producer_config {
    sds endpoint;        /* without scheme */
    sds project;
    sds logstore;
    sds accessKeyId;
    sds accessKey;
    sds securityToken;
    sds topic;
    sds source;
    void *securityTokenLock; /* created by the first token reset */

    log_producer_config_tag *tags;
    int32_t tagAllocSize;
    int32_t tagCount;

    int32_t sendThreadCount;
    int32_t packetTimeout;        /* ms */
    int32_t logCountPerPackage;
    int32_t logBytesPerPackage;
    int32_t maxBufferBytes;
    int32_t logQueueSize;         /* 0: computed from the buffer limits */

    sds netInterface;
    int32_t connectTimeoutSec;
    int32_t sendTimeoutSec;
    int32_t destroyFlusherWaitSec;
    int32_t destroySenderWaitSec;
    int32_t compressType;         /* 0 none, 1 LZ4 */
    int32_t ntpTimeOffset;        /* seconds added to the request date */

    /* Spool file for batches still undelivered when the producer is
     * destroyed: written then (at most spoolMaxBytes, oldest batches dropped
     * first) and sent before anything else by the next producer given the
     * same file, which removes it. Absent: such batches are lost. */
    sds spoolPath;
    int64_t spoolMaxBytes;        /* default 4 MiB */

    log_producer_proxy_lookup proxyLookup;  /* absent: the environment decides */
    void *proxyLookupUserData;
} log_producer_config;

log_producer_config *create_log_producer_config(void);
void destroy_log_producer_config(log_producer_config *config);

void log_producer_config_set_endpoint(log_producer_config *config, const char *endpoint);
void log_producer_config_set_project(log_producer_config *config, const char *project);
void log_producer_config_set_logstore(log_producer_config *config, const char *logstore);
void log_producer_config_set_access_id(log_producer_config *config, const char *access_id);
void log_producer_config_set_access_key(log_producer_config *config, const char *access_key);
void log_producer_config_set_topic(log_producer_config *config, const char *topic);
void log_producer_config_set_source(log_producer_config *config, const char *source);
void log_producer_config_add_tag(log_producer_config *config, const char *key, const char *value);
void log_producer_config_set_send_thread_count(log_producer_config *config, int32_t thread_count);
void log_producer_config_set_packet_timeout(log_producer_config *config, int32_t time_out_ms);
void log_producer_config_set_packet_log_count(log_producer_config *config, int32_t log_count);
void log_producer_config_set_packet_log_bytes(log_producer_config *config, int32_t log_bytes);
void log_producer_config_set_max_buffer_limit(log_producer_config *config, int64_t max_buffer_bytes);
void log_producer_config_set_log_queue_size(log_producer_config *config, int32_t queue_size);
void log_producer_config_set_net_interface(log_producer_config *config, const char *net_interface);
void log_producer_config_set_connect_timeout_sec(log_producer_config *config, int32_t connect_timeout_sec);
void log_producer_config_set_send_timeout_sec(log_producer_config *config, int32_t send_timeout_sec);
void log_producer_config_set_destroy_flusher_wait_sec(log_producer_config *config, int32_t wait_sec);
void log_producer_config_set_destroy_sender_wait_sec(log_producer_config *config, int32_t wait_sec);
void log_producer_config_set_compress_type(log_producer_config *config, int32_t compress_type);
void log_producer_config_set_ntp_time_offset(log_producer_config *config, int32_t ntp_time_offset);
void log_producer_config_set_spool_file(log_producer_config *config, const char *path);
void log_producer_config_set_spool_max_bytes(log_producer_config *config, int64_t max_bytes);
/* `user_data` must outlive every producer and clock synchronisation started
 * with the config (the clock thread is never joined). A null lookup clears. */
void log_producer_config_set_proxy_lookup(log_producer_config *config, log_producer_proxy_lookup lookup,
                                          void *user_data);

/* Replaces the present ones of the three values under the token lock. */
void log_producer_config_reset_security_token(log_producer_config *config, const char *access_id,
                                              const char *access_secret, const char *security_token);
/* Copies the credentials into *access_id, *access_secret, *security_token
 * (new sds each, owned by the caller; the token stays absent when none). */
void log_producer_config_get_security(log_producer_config *config, sds *access_id,
                                      sds *access_secret, sds *security_token);

/* 1 when the config can start a producer; else prints why at error level. */
int log_producer_config_is_valid(log_producer_config *config);

#ifdef __cplusplus
}
#endif

#endif
