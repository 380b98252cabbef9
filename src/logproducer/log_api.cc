#include "logproducer/log_api.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

extern "C" {

const char *const LOGE_SERVER_BUSY = "ServerBusy";
const char *const LOGE_INTERNAL_SERVER_ERROR = "InternalServerError";
const char *const LOGE_UNAUTHORIZED = "Unauthorized";
const char *const LOGE_WRITE_QUOTA_EXCEED = "WriteQuotaExceed";
const char *const LOGE_SHARD_WRITE_QUOTA_EXCEED = "ShardWriteQuotaExceed";
const char *const LOGE_TIME_EXPIRED = "RequestTimeExpired";

int lp_log_level = LP_LOG_LEVEL_WARN;

int is_log_producer_result_ok(log_producer_result rst) { return rst == LOG_PRODUCER_OK; }

void lp_log_set_level(int level) { std::atomic_ref<int>(lp_log_level).store(level, std::memory_order_relaxed); }

int lp_log_get_level(void) { return std::atomic_ref<int>(lp_log_level).load(std::memory_order_relaxed); }

}  // extern "C"

namespace {

const char *level_name(int level) {
    switch (level) {
        case LP_LOG_LEVEL_NONE: return "NONE";
        case LP_LOG_LEVEL_FATAL: return "FATAL";
        case LP_LOG_LEVEL_ERROR: return "ERROR";
        case LP_LOG_LEVEL_WARN: return "WARN";
        case LP_LOG_LEVEL_INFO: return "INFO";
        case LP_LOG_LEVEL_DEBUG: return "DEBUG";
        default: return "TRACE";
    }
}

// "src/logproducer/log_builder.cc" prints as "log_builder".
void file_stem(const char *path, char *out, size_t outSize) {
    const char *base = std::strrchr(path, '/');
    base = base == nullptr ? path : base + 1;
    const char *dot = std::strrchr(base, '.');
    size_t n = dot == nullptr ? std::strlen(base) : static_cast<size_t>(dot - base);
    if (n >= outSize) n = outSize - 1;
    std::memcpy(out, base, n);
    out[n] = '\0';
}

std::atomic<log_get_time_function> g_time_function{nullptr};
std::atomic<log_get_time_function> g_local_time_function{nullptr};
// Server time in the high half, the local second it was learnt in the low
// half: one word, so readers always see a matching pair without a lock.
std::atomic<uint64_t> g_server_time{0};

}  // namespace

extern "C" {

void lp_log_format(int level, const char *file, int line, const char *function,
                   const char *fmt, ...) {
    (void)function;
    if (lp_log_get_level() < level) return;
    constexpr int kMaxLine = 1020;
    char buf[kMaxLine + 2];
    char stem[4096];
    file_stem(file, stem, sizeof(stem));
    int prefix = std::snprintf(buf, sizeof(buf), "[%s] [%s:%d] ", level_name(level), stem, line);
    if (prefix < 0 || prefix >= kMaxLine) {
        std::fputs("[lp_log_format] error log fmt\n", stdout);
        std::fflush(stdout);
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf + prefix, static_cast<size_t>(kMaxLine - prefix), fmt, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(prefix);
    if (n > 0) len += static_cast<size_t>(n) < static_cast<size_t>(kMaxLine - prefix)
                          ? static_cast<size_t>(n)
                          : static_cast<size_t>(kMaxLine - prefix - 1);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r')) --len;
    buf[len++] = '\n';
    std::fwrite(buf, 1, len, stdout);
    std::fflush(stdout);
}

uint32_t lp_local_time(void) {
    log_get_time_function fn = g_local_time_function.load(std::memory_order_acquire);
    if (fn != nullptr) return fn();
    return static_cast<uint32_t>(std::time(nullptr));
}

void log_set_local_time_function(log_get_time_function fn) {
    g_local_time_function.store(fn, std::memory_order_release);
}

void log_set_get_time_function(log_get_time_function fn) {
    g_time_function.store(fn, std::memory_order_release);
}

void log_set_local_server_real_time(uint32_t t) {
    uint64_t packed = t == 0 ? 0 : (static_cast<uint64_t>(t) << 32) | lp_local_time();
    g_server_time.store(packed, std::memory_order_release);
}

uint32_t LOG_GET_TIME(void) {
    log_get_time_function fn = g_time_function.load(std::memory_order_acquire);
    if (fn != nullptr) return fn();
    uint64_t packed = g_server_time.load(std::memory_order_acquire);
    uint32_t local = lp_local_time();
    if (packed == 0) return local;
    uint32_t server = static_cast<uint32_t>(packed >> 32);
    uint32_t learnt = static_cast<uint32_t>(packed);
    return local >= learnt ? server + (local - learnt) : server;
}

}  // extern "C"
