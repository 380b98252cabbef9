/* Shared vocabulary of the log producer: result codes, the service's error
 * texts, diagnostics and the library clock.
 *
 * Diagnostics go to standard output as "[LEVEL] [file:line] message", printed
 * when lp_log_level is at least the message's level (default 4: fatal, error
 * and warning lines).
 *
 * Clock: LOG_GET_TIME() gives the seconds used for log times and request
 * dates. A replacement installed with log_set_get_time_function() wins; else a
 * server time learnt through log_set_local_server_real_time() is advanced by
 * the local seconds elapsed since it was learnt; else the local wall clock.
 * The clock functions may be called from any thread.
 */
#ifndef LOGPRODUCER_LOG_API_H
#define LOGPRODUCER_LOG_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t log_producer_result;

#define LOG_PRODUCER_OK 0
#define LOG_PRODUCER_INVALID 1
#define LOG_PRODUCER_WRITE_ERROR 2
#define LOG_PRODUCER_DROP_ERROR 3
#define LOG_PRODUCER_SEND_NETWORK_ERROR 4
#define LOG_PRODUCER_SEND_QUOTA_ERROR 5
#define LOG_PRODUCER_SEND_UNAUTHORIZED 6
#define LOG_PRODUCER_SEND_SERVER_ERROR 7
#define LOG_PRODUCER_SEND_DISCARD_ERROR 8
#define LOG_PRODUCER_SEND_TIME_ERROR 9
#define LOG_PRODUCER_SEND_EXIT_BUFFERED 10

int is_log_producer_result_ok(log_producer_result rst);

extern const char *const LOGE_SERVER_BUSY;
extern const char *const LOGE_INTERNAL_SERVER_ERROR;
extern const char *const LOGE_UNAUTHORIZED;
extern const char *const LOGE_WRITE_QUOTA_EXCEED;
extern const char *const LOGE_SHARD_WRITE_QUOTA_EXCEED;
extern const char *const LOGE_TIME_EXPIRED;

/* Diagnostics. */
#define LP_LOG_LEVEL_NONE 1
#define LP_LOG_LEVEL_FATAL 2
#define LP_LOG_LEVEL_ERROR 3
#define LP_LOG_LEVEL_WARN 4
#define LP_LOG_LEVEL_INFO 5
#define LP_LOG_LEVEL_DEBUG 6
#define LP_LOG_LEVEL_TRACE 7

/* The threshold. Library threads read it atomically; change it through
 * lp_log_set_level, which may be called from any thread. */
extern int lp_log_level;
void lp_log_set_level(int level);
int lp_log_get_level(void);
#ifdef __GNUC__
void lp_log_format(int level, const char *file, int line, const char *function,
                   const char *fmt, ...) __attribute__((format(printf, 5, 6)));
#else
void lp_log_format(int level, const char *file, int line, const char *function,
                   const char *fmt, ...);
#endif

#define lp_log_at(level, ...)                                          \
    do {                                                               \
        if (lp_log_get_level() >= (level))                             \
            lp_log_format((level), __FILE__, __LINE__, __func__, __VA_ARGS__); \
    } while (0)
#define lp_fatal_log(...) lp_log_at(LP_LOG_LEVEL_FATAL, __VA_ARGS__)
#define lp_error_log(...) lp_log_at(LP_LOG_LEVEL_ERROR, __VA_ARGS__)
#define lp_warn_log(...) lp_log_at(LP_LOG_LEVEL_WARN, __VA_ARGS__)
#define lp_info_log(...) lp_log_at(LP_LOG_LEVEL_INFO, __VA_ARGS__)
#define lp_debug_log(...) lp_log_at(LP_LOG_LEVEL_DEBUG, __VA_ARGS__)
#define lp_trace_log(...) lp_log_at(LP_LOG_LEVEL_TRACE, __VA_ARGS__)

/* Clock. */
typedef uint32_t (*log_get_time_function)(void);

uint32_t LOG_GET_TIME(void);
/* Installs a replacement for LOG_GET_TIME; absent restores the default. */
void log_set_get_time_function(log_get_time_function fn);
/* Remembers t as the service's time at this local second; 0 forgets it. */
void log_set_local_server_real_time(uint32_t t);

/* The local wall clock in seconds, as used for batch ages, back-off limits and
 * the clock comparison. Replaceable (absent restores time()) so that callers
 * can drive ages without waiting. */
uint32_t lp_local_time(void);
void log_set_local_time_function(log_get_time_function fn);

#ifdef __cplusplus
}
#endif

#endif
