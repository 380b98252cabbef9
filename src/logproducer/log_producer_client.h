/* The log producer's public entry points.
 *
 * log_producer_env_init / log_producer_env_destroy start and stop the HTTP
 * library for the process; call them from one thread, around every producer.
 * log_producer_env_destroy returns at once, also while a clock-synchronisation
 * request is still running (that thread finishes the clean-up).
 *
 * create_log_producer takes ownership of the config (also on failure it is the
 * caller's to destroy: absent is returned and nothing is kept) and starts the
 * producer's threads: one flusher and config->sendThreadCount senders. The add
 * functions may be called from any thread and never wait on the network; they
 * return LOG_PRODUCER_DROP_ERROR when the buffer limit or queue is exhausted.
 * destroy_log_producer flushes what it can within the configured wait
 * (destroyFlusherWaitSec + destroySenderWaitSec), then cuts short any request
 * still running and abandons the rest (reported to the callback as
 * LOG_PRODUCER_SEND_EXIT_BUFFERED), joins the threads and frees everything; so
 * it returns about 50 ms after that wait however the service behaves. No add
 * may still be running when it returns.
 *
 * The send-done callback runs on a sender thread (or the flusher, or the
 * destroying thread) once per attempt and outcome; it must not call back into
 * the producer.
 */
#ifndef LOGPRODUCER_LOG_PRODUCER_CLIENT_H
#define LOGPRODUCER_LOG_PRODUCER_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "logproducer/log_api.h"
#include "logproducer/log_producer_config.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct log_producer_client {
    int32_t valid_flag;   /* read and written atomically by the library */
    void *private_data;
} log_producer_client;

typedef struct log_producer {
    log_producer_client *root_client;
} log_producer;

typedef void (*on_log_producer_send_done_function)(const char *config_name,
                                                   log_producer_result result,
                                                   size_t log_bytes, size_t compressed_bytes,
                                                   const char *req_id, const char *error_message,
                                                   const unsigned char *raw_buffer,
                                                   void *user_param);

log_producer_result log_producer_env_init(void);
void log_producer_env_destroy(void);

log_producer *create_log_producer(log_producer_config *config,
                                  on_log_producer_send_done_function send_done_function,
                                  void *user_param);
void destroy_log_producer(log_producer *producer);

log_producer_client *get_log_producer_client(log_producer *producer, const char *config_name);

/* kv_count strings alternating key, value; an odd last string is ignored. */
log_producer_result log_producer_client_add_log(log_producer_client *client, int32_t kv_count, ...);
log_producer_result log_producer_client_add_log_with_len(log_producer_client *client, int32_t pair_count,
                                                         char **keys, size_t *key_lens,
                                                         char **values, size_t *val_lens, int flush);
log_producer_result log_producer_client_add_log_with_len_time(log_producer_client *client,
                                                              uint32_t time_sec, int32_t pair_count,
                                                              char **keys, size_t *key_lens,
                                                              char **values, size_t *val_lens,
                                                              int flush);
/* Hands over an already serialised and compressed group (copied). */
log_producer_result log_producer_client_add_raw_log_buffer(log_producer_client *client, size_t log_bytes,
                                                           size_t compressed_bytes,
                                                           const unsigned char *raw_buffer);
/* Cuts short the senders' back-off waits. */
void log_producer_client_network_recover(log_producer_client *client);

#ifdef __cplusplus
}
#endif

#endif
