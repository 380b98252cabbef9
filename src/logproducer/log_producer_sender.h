// Sending one batch to the log service: the signed upload, the result
// classes, back-off and re-stamping, and the one-shot clock synchronisation.
// Internal to the library (C++).
//
// Threads: log_producer_send_fun runs on a sender thread (or the flusher when
// there are none, or the destroying thread for leftovers); each call has its
// own request handle and error state. post_logs_from_lz4buf is reentrant.
#ifndef LOGPRODUCER_LOG_PRODUCER_SENDER_H
#define LOGPRODUCER_LOG_PRODUCER_SENDER_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "logproducer/log_builder.h"
#include "logproducer/log_producer_config.h"
#include "logproducer/sds.h"

struct log_producer_manager;

constexpr uint32_t LOG_PRODUCER_SEND_MAGIC_NUM = 0x1B35487A;

// Owns log_buf; freed by log_producer_send_fun.
struct log_producer_send_param {
    log_producer_config *producer_config;
    log_producer_manager *producer_manager;
    lz4_log_buf *log_buf;
    uint32_t magic_num;
    uint32_t builder_time;
};

struct post_log_result {
    int statusCode;      // HTTP status, -curl code, -2 status unreadable, 0 not started
    sds errorMessage;    // response body or curl's text, may be absent
    sds requestID;       // last "x-log-" header line as received, may be absent
};

struct log_producer_send_option {
    sds interface;       // absent: default route
    int32_t connect_timeout;
    int32_t operation_timeout;
    int32_t compress_type;
    int32_t ntp_time_offset;
    // When set, a running request is abandoned within about 50 ms of this
    // becoming non-zero (the manager's shutdown flag); absent: runs to its
    // own time-outs.
    const std::atomic<int32_t> *abort;
    // Asked for each request's proxy when set (see log_producer_config.h).
    log_producer_proxy_lookup proxy_lookup;
    void *proxy_lookup_user_data;
};

// Per-batch error state of one log_producer_send_fun call.
struct log_producer_send_error {
    int32_t last_send_error;
    int32_t last_sleep_ms;
    uint32_t first_error_time;
};

enum log_producer_send_class {
    LOG_SEND_OK = 0,
    LOG_SEND_NETWORK_ERROR = 1,
    LOG_SEND_QUOTA_EXCEED = 2,
    LOG_SEND_UNAUTHORIZED = 3,
    LOG_SEND_SERVER_ERROR = 4,
    LOG_SEND_DISCARD_ERROR = 5,
    LOG_SEND_TIME_ERROR = 6,
};

log_producer_send_param *create_log_producer_send_param(log_producer_config *producer_config,
                                                        log_producer_manager *producer_manager,
                                                        lz4_log_buf *log_buf, uint32_t builder_time);
void log_producer_send_fun(log_producer_send_param *send_param);
int32_t log_producer_send_data(log_producer_send_param *send_param);
void log_producer_send_thread(log_producer_manager *manager);

int32_t LogStatusToResult(const post_log_result *result);
// Reports the attempt; returns the milliseconds to wait before the next one,
// 0 when the batch is done (sent or given up).
int32_t log_producer_on_send_done(log_producer_send_param *send_param, const post_log_result *result,
                                  log_producer_send_error *error_info);

// Caller owns the result (post_log_result_destroy). option may be absent.
post_log_result *post_logs_from_lz4buf(const char *endpoint, const char *accesskeyId, const char *accessKey,
                                       const char *stsToken, const char *project, const char *logstore,
                                       const lz4_log_buf *buffer, const log_producer_send_option *option);
void post_log_result_destroy(post_log_result *result);

// RFC 1123 date in GMT for `t`; get_now_time_str uses LOG_GET_TIME + offset.
void log_rfc822_date(char *out, size_t outSize, uint32_t t);
void get_now_time_str(char *buffer, size_t bufLen, int32_t timeOffset);

void fetch_server_time_from_service(log_producer_config *config);
void async_fetch_server_time_from_service(log_producer_config *config);
// Waits, up to timeoutMs, for running clock-synchronisation threads; returns
// true when none is left. Only tests need it: nothing in the library waits.
bool log_wait_server_time_threads(int32_t timeoutMs);

// The HTTP library's process-wide state. log_http_init returns the
// curl_global_init result. log_http_destroy never waits: while a
// clock-synchronisation thread still runs, the clean-up is left to the last
// such thread, and an init before that reuses the state still up.
int log_http_init(void);
void log_http_destroy(void);

// Encodings: 32 upper-case hex digits; standard Base64 (returns length);
// HMAC-SHA1 as 28 Base64 characters.
void md5_to_string(const char *buffer, size_t bufLen, char *md5);
int lp_base64_encode(const unsigned char *in, size_t inLen, char *out, size_t outSize);
int hmac_sha1(const unsigned char *key, size_t keyLen, const unsigned char *msg, size_t msgLen,
              unsigned char digest[20]);
sds signature_to_base64(const char *sig, const char *key);

// Header line handling of the upload response (userdata: the post_log_result).
size_t log_producer_header_callback(char *buffer, size_t size, size_t nitems, void *userdata);
// Parses a decimal run after an "x-log-time" header name; 0 when none.
uint64_t log_parse_header_time(const char *line, size_t len);

#endif
