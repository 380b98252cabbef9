/* Log group builder: encodes logs straight into their final Protocol Buffers
 * bytes as they are added, and finishes a group into a (compressed) batch.
 *
 * Wire format of a log group: logs (field 1, in the order added), then the
 * topic (field 3) and source (field 4) when set, then tags (field 6, in the
 * order added). A log is its time (field 1, a varint always written in five
 * bytes so that it can be rewritten in place) and its contents (field 2), each
 * content a key (1) and value (2).
 *
 * Ownership: a builder owns its buffers and strings; a batch record
 * (lz4_log_buf) is one allocation freed with free_lz4_log_buf.
 * Thread safety: none; the caller serialises access to a builder.
 */
#ifndef LOGPRODUCER_LOG_BUILDER_H
#define LOGPRODUCER_LOG_BUILDER_H

#include <stddef.h>
#include <stdint.h>

#include "logproducer/sds.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A growing byte buffer of encoded messages. */
typedef struct log_buffer {
    char *buffer;        /* start of the allocation, absent until first use */
    char *now_buffer;    /* write position */
    uint32_t max_buffer_len;
    uint32_t now_buffer_len;
} log_buffer;

typedef struct log_group {
    sds source;          /* absent until set */
    sds topic;           /* absent until set */
    log_buffer tags;
    log_buffer logs;
    size_t n_logs;
} log_group;

typedef struct log_group_builder {
    log_group *grp;
    size_t loggroupSize;  /* running byte budget of the batch, see add_* */
    void *privateValue;   /* owning manager */
    uint32_t createTime;  /* local wall-clock second of creation */
} log_group_builder;

/* A finished batch: length bytes of data, rawLength before compression. */
typedef struct lz4_log_buf {
    size_t length;
    size_t rawLength;
    unsigned char *data;  /* points into the same allocation */
} lz4_log_buf;

/* The smallest time written; earlier times would not fill five varint bytes. */
#define LOG_BUILDER_MIN_TIME 1263563523u

log_group_builder *log_group_create(void);
void log_group_destroy(log_group_builder *bder);

void add_log_full(log_group_builder *bder, uint32_t logTime, int32_t pair_count,
                  char **keys, const size_t *key_lens, char **values, const size_t *val_lens);
void add_tag(log_group_builder *bder, const char *key, size_t key_len,
             const char *value, size_t value_len);
void add_source(log_group_builder *bder, const char *src, size_t len);
void add_topic(log_group_builder *bder, const char *tpc, size_t len);
void add_pack_id(log_group_builder *bder, const char *pack, size_t pack_len, size_t packNum);

/* Always returns a record; length 0 when no log was added. */
lz4_log_buf *serialize_to_proto_buf_with_malloc_no_lz4(log_group_builder *bder);
/* Absent when no log was added or compression failed. */
lz4_log_buf *serialize_to_proto_buf_with_malloc_lz4(log_group_builder *bder);
lz4_log_buf *create_lz4_log_buf(const void *data, size_t length, size_t rawLength);
void free_lz4_log_buf(lz4_log_buf *pBuf);

/* Rewrites the time of every log in uncompressed group bytes. Malformed or
 * truncated bytes stop the walk; nothing outside [buf, buf + len) is touched. */
void fix_log_group_time(char *pb_buffer, size_t len, uint32_t new_time);

/* 16 upper-case hex digits identifying this producer's batches; sds owned by
 * the caller, absent on failure. */
sds _get_pack_id(const char *configName, const char *ip);

#ifdef __cplusplus
}
#endif

#endif
