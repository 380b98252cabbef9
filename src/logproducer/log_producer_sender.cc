#include "logproducer/log_producer_sender.h"

#include <curl/curl.h>
#include <lz4.h>
#include <mbedtls/base64.h>
#include <mbedtls/md.h>
#include <mbedtls/md5.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "logproducer/log_api.h"
#include "logproducer/log_producer_manager.h"

namespace {

// Response bodies are only searched for an error code and printed; a hostile
// or broken server must not make us buffer without bound. The service puts its
// error code at the end of a long body, so the last bytes are the ones kept.
constexpr size_t kMaxBodyBytes = 64 * 1024;
// The placeholder credential of the clock-synchronisation request.
constexpr const char *kClockProbeWord = "clocksynchronizing";
// How often a running request looks at its abort flag.
constexpr int kAbortPollMs = 50;

size_t body_callback(char *ptr, size_t size, size_t nmemb, void *userdata) {
    auto *result = static_cast<post_log_result *>(userdata);
    size_t len = size * nmemb;
    if (result->errorMessage == nullptr) result->errorMessage = sdsempty();
    if (len >= kMaxBodyBytes) {
        result->errorMessage = sdscpylen(result->errorMessage, ptr + (len - kMaxBodyBytes), kMaxBodyBytes);
        return len;
    }
    size_t kept = sdslen(result->errorMessage);
    if (kept + len > kMaxBodyBytes) {
        size_t drop = kept + len - kMaxBodyBytes;
        std::memmove(result->errorMessage, result->errorMessage + drop, kept - drop);
        result->errorMessage[kept - drop] = '\0';
        sdsIncrLen(result->errorMessage, -static_cast<int>(drop));
    }
    result->errorMessage = sdscatlen(result->errorMessage, ptr, len);
    return len;
}

const char *class_name_or_empty(const sds s) { return s == nullptr ? "" : s; }

// Clock-synchronisation threads are never joined. While one runs, the HTTP
// library's global state must stay up: the environment's clean-up is then
// left to the last of them (see log_http_destroy).
// Never destroyed: a clock-sync thread may still be finishing while the
// process exits and its static objects are torn down.
std::mutex &g_clock_threads_lock = *new std::mutex;
std::condition_variable &g_clock_threads_done = *new std::condition_variable;
int g_clock_threads = 0;
bool g_http_cleanup_owed = false;

// Runs the request on a private multi handle so that it can be abandoned
// within kAbortPollMs once *abort becomes non-zero (CURLE_ABORTED_BY_CALLBACK).
CURLcode perform_abortable(CURL *curl, const std::atomic<int32_t> *abort) {
    if (abort == nullptr) return curl_easy_perform(curl);
    CURLM *multi = curl_multi_init();
    if (multi == nullptr) return CURLE_OUT_OF_MEMORY;
    if (curl_multi_add_handle(multi, curl) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return CURLE_FAILED_INIT;
    }
    CURLcode code = CURLE_OK;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            code = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            int left = 0;
            CURLMsg *msg = curl_multi_info_read(multi, &left);
            code = msg != nullptr && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_FAILED_INIT;
            break;
        }
        if (abort->load() != 0) {
            code = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, kAbortPollMs, nullptr);
    }
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    return code;
}

}  // namespace

uint64_t log_parse_header_time(const char *line, size_t len) {
    size_t pos = 10;  // after "x-log-time"
    while (pos < len && (line[pos] < '0' || line[pos] > '9')) ++pos;
    uint64_t value = 0;
    size_t digits = 0;
    while (pos < len && digits < 60 && line[pos] >= '0' && line[pos] <= '9') {
        // Anything beyond 20 digits is out of range anyway; saturate instead of wrapping.
        if (value < UINT64_MAX / 10) value = value * 10 + static_cast<uint64_t>(line[pos] - '0');
        else value = UINT64_MAX;
        ++pos;
        ++digits;
    }
    return value;
}

size_t log_producer_header_callback(char *buffer, size_t size, size_t nitems, void *userdata) {
    size_t len = size * nitems;
    auto *result = static_cast<post_log_result *>(userdata);
    if (len >= 7 && std::strncmp(buffer, "x-log-", 6) == 0) {
        sdsfree(result->requestID);
        result->requestID = sdsnewlen(buffer, len);
    }
    if (len >= 11 && std::strncmp(buffer, "x-log-time", 10) == 0) {
        uint64_t serverTime = log_parse_header_time(buffer, len);
        if (serverTime > 1500000000ULL && serverTime <= 4294967294ULL) {
            int64_t local = lp_local_time();
            int64_t diff = static_cast<int64_t>(serverTime) - local;
            if (diff > 30 || diff < -30) log_set_local_server_real_time(static_cast<uint32_t>(serverTime));
        }
    }
    return len;
}

void md5_to_string(const char *buffer, size_t bufLen, char *md5) {
    unsigned char digest[16];
    mbedtls_md5_ret(reinterpret_cast<const unsigned char *>(buffer), bufLen, digest);
    static const char hex[] = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        md5[2 * i] = hex[digest[i] >> 4];
        md5[2 * i + 1] = hex[digest[i] & 0x0F];
    }
    md5[32] = '\0';
}

int lp_base64_encode(const unsigned char *in, size_t inLen, char *out, size_t outSize) {
    size_t written = 0;
    if (mbedtls_base64_encode(reinterpret_cast<unsigned char *>(out), outSize, &written, in, inLen) != 0) {
        return -1;
    }
    return static_cast<int>(written);
}

int hmac_sha1(const unsigned char *key, size_t keyLen, const unsigned char *msg, size_t msgLen,
              unsigned char digest[20]) {
    const mbedtls_md_info_t *info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA1);
    if (info == nullptr) return -1;
    return mbedtls_md_hmac(info, key, keyLen, msg, msgLen, digest);
}

sds signature_to_base64(const char *sig, const char *key) {
    unsigned char digest[20];
    if (hmac_sha1(reinterpret_cast<const unsigned char *>(key), std::strlen(key),
                  reinterpret_cast<const unsigned char *>(sig), std::strlen(sig), digest) != 0) {
        return sdsempty();
    }
    char out[64];
    int n = lp_base64_encode(digest, sizeof(digest), out, sizeof(out));
    return n < 0 ? sdsempty() : sdsnewlen(out, static_cast<size_t>(n));
}

void log_rfc822_date(char *out, size_t outSize, uint32_t t) {
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    std::snprintf(out, outSize, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

void get_now_time_str(char *buffer, size_t bufLen, int32_t timeOffset) {
    log_rfc822_date(buffer, bufLen, static_cast<uint32_t>(static_cast<int64_t>(LOG_GET_TIME()) + timeOffset));
}

post_log_result *post_logs_from_lz4buf(const char *endpoint, const char *accesskeyId, const char *accessKey,
                                       const char *stsToken, const char *project, const char *logstore,
                                       const lz4_log_buf *buffer, const log_producer_send_option *option) {
    auto *result = static_cast<post_log_result *>(std::calloc(1, sizeof(post_log_result)));
    if (result == nullptr) std::abort();
    CURL *curl = curl_easy_init();
    if (curl == nullptr) return result;

    sds url = sdsnew("http://");
    url = sdscatprintf(url, "%s.%s/logstores/%s/shards/lb", project, endpoint, logstore);

    char date[64];
    get_now_time_str(date, sizeof(date), option != nullptr ? option->ntp_time_offset : 0);
    bool compressed = option == nullptr || option->compress_type == 1;
    char md5[33];
    md5_to_string(reinterpret_cast<const char *>(buffer->data), buffer->length, md5);
    bool token = stsToken != nullptr;

    sds line = sdsempty();
    struct curl_slist *headers = nullptr;
    auto header = [&](const char *fmt, auto... args) {
        sdsclear(line);
        line = sdscatprintf(line, fmt, args...);
        headers = curl_slist_append(headers, line);
    };
    header("%s", "Content-Type:application/x-protobuf");
    header("%s", "x-log-apiversion:0.6.0");
    if (compressed) header("%s", "x-log-compresstype:lz4");
    if (token) header("x-acs-security-token:%s", stsToken);
    header("%s", "x-log-signaturemethod:hmac-sha1");
    header("Date:%s", date);
    header("Content-MD5:%s", md5);
    header("Content-Length:%d", static_cast<int>(buffer->length));
    header("x-log-bodyrawsize:%d", static_cast<int>(buffer->rawLength));
    header("Host:%s.%s", project, endpoint);

    sds sigText = sdsempty();
    int raw = static_cast<int>(buffer->rawLength);
    if (token && compressed) {
        sigText = sdscatprintf(sigText,
                               "POST\n%s\napplication/x-protobuf\n%s\nx-acs-security-token:%s\nx-log-apiversion:0.6.0\n"
                               "x-log-bodyrawsize:%d\nx-log-compresstype:lz4\nx-log-signaturemethod:hmac-sha1\n"
                               "/logstores/%s/shards/lb",
                               md5, date, stsToken, raw, logstore);
    } else if (token) {
        sigText = sdscatprintf(sigText,
                               "POST\n%s\napplication/x-protobuf\n%s\nx-acs-security-token:%s\nx-log-apiversion:0.6.0\n"
                               "x-log-bodyrawsize:%d\nx-log-signaturemethod:hmac-sha1\n/logstores/%s/shards/lb",
                               md5, date, stsToken, raw, logstore);
    } else if (compressed) {
        sigText = sdscatprintf(sigText,
                               "POST\n%s\napplication/x-protobuf\n%s\nx-log-apiversion:0.6.0\nx-log-bodyrawsize:%d\n"
                               "x-log-compresstype:lz4\nx-log-signaturemethod:hmac-sha1\n/logstores/%s/shards/lb",
                               md5, date, raw, logstore);
    } else {
        sigText = sdscatprintf(sigText,
                               "POST\n%s\napplication/x-protobuf\n%s\nx-log-apiversion:0.6.0\nx-log-bodyrawsize:%d\n"
                               "x-log-signaturemethod:hmac-sha1\n/logstores/%s/shards/lb",
                               md5, date, raw, logstore);
    }
    sds signature = signature_to_base64(sigText, accessKey);
    header("Authorization:LOG %s:%s", accesskeyId, signature);

    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, buffer->data);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(buffer->length));
    curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl, CURLOPT_NETRC, CURL_NETRC_IGNORED);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "log-producer-lite_0.1.0");
    long timeout = 15;
    if (option != nullptr && option->operation_timeout > 0) timeout = option->operation_timeout;
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout);
    if (option != nullptr && option->connect_timeout > 0) {
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(option->connect_timeout));
    }
    if (option != nullptr && option->interface != nullptr) {
        curl_easy_setopt(curl, CURLOPT_INTERFACE, option->interface);
    }
    if (option != nullptr && option->proxy_lookup != nullptr) {
        char proxy[1024] = {0};
        if (option->proxy_lookup(url, proxy, sizeof(proxy), option->proxy_lookup_user_data) == LOG_PRODUCER_OK) {
            proxy[sizeof(proxy) - 1] = '\0';
            curl_easy_setopt(curl, CURLOPT_PROXY, proxy);  // "" = no proxy at all
            curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
        }
    }
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, log_producer_header_callback);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, result);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, body_callback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, result);

    CURLcode res = perform_abortable(curl, option != nullptr ? option->abort : nullptr);
    if (res != CURLE_OK) {
        sdsfree(result->errorMessage);
        result->errorMessage = sdsnew(curl_easy_strerror(res));
        result->statusCode = -static_cast<int>(res);
    } else {
        long status = 0;
        CURLcode info = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (info != CURLE_OK) {
            std::printf("get info result : %s \n", curl_easy_strerror(info));
            result->statusCode = -2;
        } else {
            result->statusCode = static_cast<int>(status);
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    sdsfree(line);
    sdsfree(url);
    sdsfree(sigText);
    sdsfree(signature);
    return result;
}

void post_log_result_destroy(post_log_result *result) {
    if (result == nullptr) return;
    sdsfree(result->errorMessage);
    sdsfree(result->requestID);
    std::free(result);
}

int32_t LogStatusToResult(const post_log_result *result) {
    int status = result->statusCode;
    if (status >= 200 && status < 300) return LOG_SEND_OK;
    if (status <= 0) return LOG_SEND_NETWORK_ERROR;
    if (status >= 500 || result->requestID == nullptr) return LOG_SEND_SERVER_ERROR;
    if (status == 401 || status == 404) return LOG_SEND_UNAUTHORIZED;
    if (status == 403) return LOG_SEND_QUOTA_EXCEED;
    if (result->errorMessage != nullptr && std::strstr(result->errorMessage, LOGE_TIME_EXPIRED) != nullptr) {
        return LOG_SEND_TIME_ERROR;
    }
    return LOG_SEND_DISCARD_ERROR;
}

log_producer_send_param *create_log_producer_send_param(log_producer_config *producer_config,
                                                        log_producer_manager *producer_manager,
                                                        lz4_log_buf *log_buf, uint32_t builder_time) {
    return new log_producer_send_param{producer_config, producer_manager, log_buf, LOG_PRODUCER_SEND_MAGIC_NUM,
                                       builder_time};
}

int32_t log_producer_on_send_done(log_producer_send_param *send_param, const post_log_result *result,
                                  log_producer_send_error *error_info) {
    int32_t cls = LogStatusToResult(result);
    log_producer_manager *manager = send_param->producer_manager;
    log_producer_config *config = send_param->producer_config;
    lz4_log_buf *buf = send_param->log_buf;
    if (manager != nullptr && manager->send_done_function != nullptr) {
        log_producer_result code = cls == LOG_SEND_OK ? LOG_PRODUCER_OK : LOG_PRODUCER_SEND_NETWORK_ERROR + cls - 1;
        manager->send_done_function(config->logstore, code, buf->rawLength, buf->length, result->requestID,
                                    result->errorMessage, buf->data, manager->user_param);
    }
    bool giveUp = false;
    switch (cls) {
        case LOG_SEND_NETWORK_ERROR:
        case LOG_SEND_SERVER_ERROR:
        case LOG_SEND_QUOTA_EXCEED: {
            int32_t type = cls == LOG_SEND_QUOTA_EXCEED ? LOG_SEND_QUOTA_EXCEED : LOG_SEND_NETWORK_ERROR;
            uint32_t now = lp_local_time();
            if (error_info->last_send_error == type) {
                if (error_info->last_sleep_ms < 2000) error_info->last_sleep_ms *= 2;
                if (static_cast<int64_t>(now) - static_cast<int64_t>(error_info->first_error_time) > 86400) {
                    giveUp = true;
                }
            } else {
                error_info->last_send_error = type;
                error_info->last_sleep_ms = 500;
                error_info->first_error_time = now;
            }
            if (!giveUp) {
                if (type == LOG_SEND_NETWORK_ERROR) {
                    lp_warn_log("send network error, project : %s, logstore : %s, buffer len : %d, raw len : %d, "
                                "code : %d, error msg : %s",
                                config->project, config->logstore, static_cast<int>(buf->length),
                                static_cast<int>(buf->rawLength), result->statusCode,
                                class_name_or_empty(result->errorMessage));
                } else {
                    lp_warn_log("send quota error, project : %s, logstore : %s, buffer len : %d, raw len : %d, "
                                "code : %d, error msg : %s",
                                config->project, config->logstore, static_cast<int>(buf->length),
                                static_cast<int>(buf->rawLength), result->statusCode,
                                class_name_or_empty(result->errorMessage));
                }
                return error_info->last_sleep_ms;
            }
            break;
        }
        case LOG_SEND_TIME_ERROR:
            error_info->last_send_error = LOG_SEND_TIME_ERROR;
            error_info->last_sleep_ms = 500;
            return 500;
        default:
            break;
    }

    int64_t total = 0;
    if (manager != nullptr) {
        std::lock_guard<std::mutex> guard(manager->lock);
        total = (manager->totalBufferSize -= static_cast<int64_t>(buf->length));
    }
    if (cls == LOG_SEND_OK) {
        lp_debug_log("send success, project : %s, logstore : %s, buffer len : %d, raw len : %d, total buffer : %d,"
                     "code : %d, error msg : %s",
                     config->project, config->logstore, static_cast<int>(buf->length),
                     static_cast<int>(buf->rawLength), static_cast<int>(total), result->statusCode,
                     class_name_or_empty(result->errorMessage));
    } else {
        lp_warn_log("send fail, discard data, project : %s, logstore : %s, buffer len : %d, raw len : %d, "
                    "total buffer : %d,code : %d, error msg : %s",
                    config->project, config->logstore, static_cast<int>(buf->length),
                    static_cast<int>(buf->rawLength), static_cast<int>(total), result->statusCode,
                    class_name_or_empty(result->errorMessage));
        if (manager != nullptr && manager->send_done_function != nullptr) {
            manager->send_done_function(config->logstore, LOG_PRODUCER_DROP_ERROR, buf->rawLength, buf->length,
                                        result->requestID, result->errorMessage, buf->data, manager->user_param);
        }
    }
    return 0;
}

namespace {

// A copy of the batch with every log time set to the library clock; absent
// when the batch cannot be decoded (it is then sent as it is).
lz4_log_buf *rebuild_time(const lz4_log_buf *buf) {
    lp_debug_log("rebuild log.");
    if (buf->rawLength == 0 || buf->rawLength > static_cast<size_t>(LZ4_MAX_INPUT_SIZE) ||
        buf->length > static_cast<size_t>(INT32_MAX)) {
        lp_fatal_log("LZ4_decompress_safe error");
        return nullptr;
    }
    char *raw = static_cast<char *>(std::malloc(buf->rawLength));
    if (raw == nullptr) std::abort();
    int n = LZ4_decompress_safe(reinterpret_cast<const char *>(buf->data), raw, static_cast<int>(buf->length),
                                static_cast<int>(buf->rawLength));
    if (n <= 0 || static_cast<size_t>(n) != buf->rawLength) {
        lp_fatal_log("LZ4_decompress_safe error");
        std::free(raw);
        return nullptr;
    }
    fix_log_group_time(raw, buf->rawLength, LOG_GET_TIME());
    int bound = LZ4_compressBound(n);
    auto *out = static_cast<lz4_log_buf *>(std::malloc(sizeof(lz4_log_buf) + static_cast<size_t>(bound)));
    if (out == nullptr) std::abort();
    out->data = reinterpret_cast<unsigned char *>(out + 1);
    int compressed = LZ4_compress_default(raw, reinterpret_cast<char *>(out->data), n, bound);
    std::free(raw);
    if (compressed <= 0) {
        lp_fatal_log("LZ4_compress_default error");
        std::free(out);
        return nullptr;
    }
    out->length = static_cast<size_t>(compressed);
    out->rawLength = buf->rawLength;
    return out;
}

// Uncompressed batches are re-stamped on a plain copy; otherwise a batch the
// service keeps refusing for its time would be retried unchanged for ever.
lz4_log_buf *restamp_plain(const lz4_log_buf *buf) {
    lp_debug_log("rebuild log.");
    lz4_log_buf *copy = create_lz4_log_buf(buf->data, buf->length, buf->rawLength);
    fix_log_group_time(reinterpret_cast<char *>(copy->data), copy->length, LOG_GET_TIME());
    return copy;
}

void abandon(log_producer_send_param *send_param) {
    lp_info_log("send fail but shutdown signal received, force exit");
    log_producer_manager *manager = send_param->producer_manager;
    lz4_log_buf *buf = send_param->log_buf;
    if (manager != nullptr) {
        log_producer_spool_keep(manager, buf, send_param->builder_time);
        {
            std::lock_guard<std::mutex> guard(manager->lock);
            manager->totalBufferSize -= static_cast<int64_t>(buf->length);
        }
        if (manager->send_done_function != nullptr) {
            manager->send_done_function(send_param->producer_config->logstore, LOG_PRODUCER_SEND_EXIT_BUFFERED,
                                        buf->rawLength, buf->length, nullptr,
                                        "producer is being destroyed, producer has no time to send this buffer out",
                                        buf->data, manager->user_param);
        }
    }
    free_lz4_log_buf(buf);
    delete send_param;
    if (manager != nullptr) --manager->pending_batches;
}

}  // namespace

void log_producer_send_fun(log_producer_send_param *send_param) {
    if (send_param == nullptr) return;
    if (send_param->magic_num != LOG_PRODUCER_SEND_MAGIC_NUM) {
        lp_fatal_log("invalid send param, magic num not found, num 0x%x", send_param->magic_num);
        log_producer_manager *manager = send_param->producer_manager;
        if (manager != nullptr && manager->send_done_function != nullptr && send_param->producer_config != nullptr) {
            manager->send_done_function(send_param->producer_config->logstore, LOG_PRODUCER_INVALID, 0, 0, nullptr,
                                        "invalid send param, magic num not found", nullptr, manager->user_param);
        }
        return;
    }
    log_producer_manager *manager = send_param->producer_manager;
    log_producer_config *config = send_param->producer_config;
    if (manager->shutdown.load() != 0) {
        abandon(send_param);
        return;
    }
    log_producer_send_error error_info{};
    for (;;) {
        uint32_t now = LOG_GET_TIME();
        lz4_log_buf *rebuilt = nullptr;
        if (static_cast<int64_t>(now) - send_param->builder_time > 600 ||
            static_cast<int64_t>(send_param->builder_time) - now > 600 ||
            error_info.last_send_error == LOG_SEND_TIME_ERROR) {
            rebuilt = config->compressType == 1 ? rebuild_time(send_param->log_buf)
                                                : restamp_plain(send_param->log_buf);
            send_param->builder_time = now;
        }
        log_producer_send_option option{config->netInterface, config->connectTimeoutSec, config->sendTimeoutSec,
                                        config->compressType,  config->ntpTimeOffset,    &manager->shutdown,
                                        config->proxyLookup,   config->proxyLookupUserData};
        sds accessKeyId = nullptr;
        sds accessKey = nullptr;
        sds token = nullptr;
        log_producer_config_get_security(config, &accessKeyId, &accessKey, &token);
        post_log_result *result =
            post_logs_from_lz4buf(config->endpoint, accessKeyId, accessKey, token, config->project, config->logstore,
                                  rebuilt != nullptr ? rebuilt : send_param->log_buf, &option);
        sdsfree(accessKeyId);
        sdsfree(accessKey);
        sdsfree(token);
        if (result->statusCode == -static_cast<int>(CURLE_ABORTED_BY_CALLBACK) && manager->shutdown.load() != 0) {
            // Cut short by destroy: not an answer from the service.
            post_log_result_destroy(result);
            free_lz4_log_buf(rebuilt);
            abandon(send_param);
            return;
        }
        int32_t wait = log_producer_on_send_done(send_param, result, &error_info);
        post_log_result_destroy(result);
        free_lz4_log_buf(rebuilt);
        if (wait <= 0) {
            free_lz4_log_buf(send_param->log_buf);
            delete send_param;
            --manager->pending_batches;
            return;
        }
        for (int32_t steps = (wait + 99) / 100; steps > 0; --steps) {
            if (manager->shutdown.load() != 0 || manager->networkRecover.load() != 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (manager->networkRecover.load() != 0) manager->networkRecover.store(0);
        if (manager->shutdown.load() != 0) {
            abandon(send_param);
            return;
        }
    }
}

int32_t log_producer_send_data(log_producer_send_param *send_param) {
    log_producer_send_fun(send_param);
    return LOG_PRODUCER_OK;
}

void log_producer_send_thread(log_producer_manager *manager) {
    if (manager->sender_data_queue == nullptr || manager->shutdown.load() != 0) return;
    for (;;) {
        void *item = log_queue_pop(manager->sender_data_queue, 30);
        if (item != nullptr) {
            manager->multi_thread_send_count.fetch_add(1);
            log_producer_send_fun(static_cast<log_producer_send_param *>(item));
            manager->multi_thread_send_count.fetch_sub(1);
        }
        if (manager->shutdown.load() != 0) break;
    }
}

int log_http_init(void) {
    std::lock_guard<std::mutex> guard(g_clock_threads_lock);
    if (g_http_cleanup_owed) {
        // The previous environment's library state is still up: reuse it.
        g_http_cleanup_owed = false;
        return 0;
    }
    return static_cast<int>(curl_global_init(CURL_GLOBAL_ALL));
}

void log_http_destroy(void) {
    std::lock_guard<std::mutex> guard(g_clock_threads_lock);
    if (g_clock_threads > 0) {
        g_http_cleanup_owed = true;
        return;
    }
    curl_global_cleanup();
}

void fetch_server_time_from_service(log_producer_config *config) {
    if (config == nullptr || config->endpoint == nullptr) return;
    static const unsigned char body[2] = {0, 0};
    lz4_log_buf *buf = create_lz4_log_buf(body, 2, 2);
    // The defaults of a request without options, plus the proxy lookup.
    log_producer_send_option option{nullptr, 0, 0, 1, 0, nullptr, config->proxyLookup, config->proxyLookupUserData};
    post_log_result *result = post_logs_from_lz4buf(config->endpoint, kClockProbeWord, kClockProbeWord, nullptr,
                                                    config->project != nullptr ? config->project : config->endpoint,
                                                    kClockProbeWord, buf, &option);
    post_log_result_destroy(result);
    free_lz4_log_buf(buf);
}

namespace {

void log_fetch_server_time_from_service_thread(log_producer_config *copy) {
    fetch_server_time_from_service(copy);
    destroy_log_producer_config(copy);
    std::lock_guard<std::mutex> guard(g_clock_threads_lock);
    if (--g_clock_threads == 0 && g_http_cleanup_owed) {
        g_http_cleanup_owed = false;
        curl_global_cleanup();
    }
    g_clock_threads_done.notify_all();
}

}  // namespace

void async_fetch_server_time_from_service(log_producer_config *config) {
    if (config == nullptr || config->endpoint == nullptr) return;
    // The thread outlives the caller's config: it works on its own copy.
    log_producer_config *copy = create_log_producer_config();
    log_producer_config_set_endpoint(copy, config->endpoint);
    log_producer_config_set_project(copy, config->project);
    log_producer_config_set_proxy_lookup(copy, config->proxyLookup, config->proxyLookupUserData);
    {
        std::lock_guard<std::mutex> guard(g_clock_threads_lock);
        ++g_clock_threads;
    }
    std::thread(log_fetch_server_time_from_service_thread, copy).detach();
}

bool log_wait_server_time_threads(int32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(g_clock_threads_lock);
    return g_clock_threads_done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                         [] { return g_clock_threads == 0; });
}
