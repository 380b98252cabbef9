#include "logproducer/log_builder.h"

#include <lz4.h>
#include <mbedtls/md5.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logproducer/log_api.h"

namespace {

inline uint32_t varint_size(uint64_t n) {
    if (n < (1u << 7)) return 1;
    if (n < (1u << 14)) return 2;
    if (n < (1u << 21)) return 3;
    if (n < (1u << 28)) return 4;
    return 5;
}

inline char *write_varint(char *p, uint64_t n) {
    while (n >= 0x80) {
        *p++ = static_cast<char>((n & 0x7F) | 0x80);
        n >>= 7;
    }
    *p++ = static_cast<char>(n);
    return p;
}

inline void write_time(char *p, uint32_t t) {
    p[0] = static_cast<char>((t & 0x7F) | 0x80);
    p[1] = static_cast<char>(((t >> 7) & 0x7F) | 0x80);
    p[2] = static_cast<char>(((t >> 14) & 0x7F) | 0x80);
    p[3] = static_cast<char>(((t >> 21) & 0x7F) | 0x80);
    p[4] = static_cast<char>((t >> 28) & 0x0F);
}

void check_capacity(size_t n) {
    if (n > UINT32_MAX) {
        std::fprintf(stderr, "log_builder: log group of %zu bytes is too large\n", n);
        std::abort();
    }
}

// Makes room for len more bytes; the buffer starts at four times the first
// entry and at least doubles, so appends are amortised constant time.
void reserve(log_buffer *b, size_t len) {
    if (b->buffer == nullptr) {
        size_t cap = len * 4;
        check_capacity(cap);
        b->buffer = static_cast<char *>(std::malloc(cap));
        if (b->buffer == nullptr) std::abort();
        b->now_buffer = b->buffer;
        b->max_buffer_len = static_cast<uint32_t>(cap);
        b->now_buffer_len = 0;
        return;
    }
    if (static_cast<size_t>(b->max_buffer_len) - b->now_buffer_len >= len) return;
    size_t doubled = static_cast<size_t>(b->max_buffer_len) * 2;
    size_t needed = static_cast<size_t>(b->now_buffer_len) + len;
    size_t cap = doubled > needed ? doubled : needed;
    check_capacity(cap);
    char *grown = static_cast<char *>(std::realloc(b->buffer, cap));
    if (grown == nullptr) std::abort();
    b->buffer = grown;
    b->now_buffer = grown + b->now_buffer_len;
    b->max_buffer_len = static_cast<uint32_t>(cap);
}

inline size_t pair_size(size_t key_len, size_t value_len) {
    return 2 + key_len + varint_size(key_len) + value_len + varint_size(value_len);
}

inline char *write_pair(char *p, uint8_t tag, size_t size, const char *key, size_t key_len,
                        const char *value, size_t value_len) {
    *p++ = static_cast<char>(tag);
    p = write_varint(p, size);
    *p++ = 0x0A;
    p = write_varint(p, key_len);
    std::memcpy(p, key, key_len);
    p += key_len;
    *p++ = 0x12;
    p = write_varint(p, value_len);
    std::memcpy(p, value, value_len);
    return p + value_len;
}

// Appends topic, source and tags after the logs; returns the group's size.
size_t finish_group(log_group_builder *bder) {
    log_group *grp = bder->grp;
    log_buffer *logs = &grp->logs;
    size_t extra = grp->tags.now_buffer_len;
    if (grp->topic != nullptr) extra += 1 + varint_size(sdslen(grp->topic)) + sdslen(grp->topic);
    if (grp->source != nullptr) extra += 1 + varint_size(sdslen(grp->source)) + sdslen(grp->source);
    // loggroupSize already bounds this; the explicit sum keeps us safe even if
    // a caller changed the group behind the budget's back.
    size_t want = bder->loggroupSize > logs->now_buffer_len + extra ? bder->loggroupSize
                                                                     : logs->now_buffer_len + extra;
    if (logs->max_buffer_len < want) reserve(logs, want - logs->now_buffer_len);
    char *p = logs->now_buffer;
    if (grp->topic != nullptr) {
        *p++ = 0x1A;
        p = write_varint(p, sdslen(grp->topic));
        std::memcpy(p, grp->topic, sdslen(grp->topic));
        p += sdslen(grp->topic);
    }
    if (grp->source != nullptr) {
        *p++ = 0x22;
        p = write_varint(p, sdslen(grp->source));
        std::memcpy(p, grp->source, sdslen(grp->source));
        p += sdslen(grp->source);
    }
    if (grp->tags.now_buffer_len != 0) {
        std::memcpy(p, grp->tags.buffer, grp->tags.now_buffer_len);
        p += grp->tags.now_buffer_len;
    }
    return static_cast<size_t>(p - logs->buffer);
}

}  // namespace

extern "C" {

log_group_builder *log_group_create(void) {
    auto *bder = static_cast<log_group_builder *>(std::calloc(1, sizeof(log_group_builder)));
    auto *grp = static_cast<log_group *>(std::calloc(1, sizeof(log_group)));
    if (bder == nullptr || grp == nullptr) std::abort();
    bder->grp = grp;
    bder->loggroupSize = sizeof(log_group) + sizeof(log_group_builder);
    bder->createTime = lp_local_time();
    return bder;
}

void log_group_destroy(log_group_builder *bder) {
    if (bder == nullptr) return;
    log_group *grp = bder->grp;
    if (grp != nullptr) {
        sdsfree(grp->source);
        sdsfree(grp->topic);
        std::free(grp->tags.buffer);
        std::free(grp->logs.buffer);
        std::free(grp);
    }
    std::free(bder);
}

void add_log_full(log_group_builder *bder, uint32_t logTime, int32_t pair_count, char **keys,
                  const size_t *key_lens, char **values, const size_t *val_lens) {
    if (pair_count < 0) pair_count = 0;
    ++bder->grp->n_logs;
    size_t log_size = 6;
    for (int32_t i = 0; i < pair_count; ++i) {
        size_t content = pair_size(key_lens[i], val_lens[i]);
        log_size += 1 + varint_size(content) + content;
    }
    size_t total = 1 + varint_size(log_size) + log_size;
    log_buffer *logs = &bder->grp->logs;
    reserve(logs, total);
    bder->loggroupSize += total;

    char *start = logs->now_buffer;
    char *p = start;
    *p++ = 0x0A;
    p = write_varint(p, log_size);
    *p++ = 0x08;
    write_time(p, logTime < LOG_BUILDER_MIN_TIME ? LOG_BUILDER_MIN_TIME : logTime);
    p += 5;
    for (int32_t i = 0; i < pair_count; ++i) {
        p = write_pair(p, 0x12, pair_size(key_lens[i], val_lens[i]), keys[i], key_lens[i],
                       values[i], val_lens[i]);
    }
    assert(static_cast<size_t>(p - start) == total);
    logs->now_buffer = p;
    logs->now_buffer_len += static_cast<uint32_t>(total);
}

void add_tag(log_group_builder *bder, const char *key, size_t key_len, const char *value,
             size_t value_len) {
    size_t tag_size = pair_size(key_len, value_len);
    size_t total = 1 + varint_size(tag_size) + tag_size;
    log_buffer *tags = &bder->grp->tags;
    reserve(tags, total);
    char *p = write_pair(tags->now_buffer, 0x32, tag_size, key, key_len, value, value_len);
    assert(static_cast<size_t>(p - tags->now_buffer) == total);
    tags->now_buffer = p;
    tags->now_buffer_len += static_cast<uint32_t>(total);
    bder->loggroupSize += total;
}

void add_source(log_group_builder *bder, const char *src, size_t len) {
    sdsfree(bder->grp->source);
    bder->grp->source = sdsnewlen(src, len);
    bder->loggroupSize += len + varint_size(len) + 1;
}

void add_topic(log_group_builder *bder, const char *tpc, size_t len) {
    sdsfree(bder->grp->topic);
    bder->grp->topic = sdsnewlen(tpc, len);
    bder->loggroupSize += len + varint_size(len) + 1;
}

void add_pack_id(log_group_builder *bder, const char *pack, size_t pack_len, size_t packNum) {
    char value[128];
    int n = std::snprintf(value, 127, "%.*s-%zX", static_cast<int>(pack_len), pack, packNum);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < 126 ? static_cast<size_t>(n) : 126;
    add_tag(bder, "__pack_id__", 11, value, len);
}

lz4_log_buf *create_lz4_log_buf(const void *data, size_t length, size_t rawLength) {
    auto *buf = static_cast<lz4_log_buf *>(std::malloc(sizeof(lz4_log_buf) + length));
    if (buf == nullptr) std::abort();
    buf->length = length;
    buf->rawLength = rawLength;
    buf->data = reinterpret_cast<unsigned char *>(buf + 1);
    if (length != 0) std::memcpy(buf->data, data, length);
    return buf;
}

void free_lz4_log_buf(lz4_log_buf *pBuf) { std::free(pBuf); }

lz4_log_buf *serialize_to_proto_buf_with_malloc_no_lz4(log_group_builder *bder) {
    if (bder->grp->logs.buffer == nullptr) return create_lz4_log_buf(nullptr, 0, 0);
    size_t size = finish_group(bder);
    return create_lz4_log_buf(bder->grp->logs.buffer, size, size);
}

lz4_log_buf *serialize_to_proto_buf_with_malloc_lz4(log_group_builder *bder) {
    if (bder->grp->logs.buffer == nullptr) return nullptr;
    size_t size = finish_group(bder);
    if (size > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) return nullptr;
    int bound = LZ4_compressBound(static_cast<int>(size));
    auto *buf = static_cast<lz4_log_buf *>(std::malloc(sizeof(lz4_log_buf) + static_cast<size_t>(bound)));
    if (buf == nullptr) std::abort();
    buf->data = reinterpret_cast<unsigned char *>(buf + 1);
    int compressed = LZ4_compress_default(bder->grp->logs.buffer, reinterpret_cast<char *>(buf->data),
                                          static_cast<int>(size), bound);
    if (compressed <= 0) {
        std::free(buf);
        return nullptr;
    }
    buf->length = static_cast<size_t>(compressed);
    buf->rawLength = size;
    return buf;
}

void fix_log_group_time(char *pb_buffer, size_t len, uint32_t new_time) {
    if (len == 0 || pb_buffer == nullptr || new_time < LOG_BUILDER_MIN_TIME) return;
    size_t pos = 0;
    while (pos < len && static_cast<uint8_t>(pb_buffer[pos]) == 0x0A) {
        ++pos;
        uint64_t log_len = 0;
        int shift = 0;
        bool done = false;
        while (pos < len && shift < 35) {
            uint8_t b = static_cast<uint8_t>(pb_buffer[pos++]);
            log_len |= static_cast<uint64_t>(b & 0x7F) << shift;
            shift += 7;
            if ((b & 0x80) == 0) {
                done = true;
                break;
            }
        }
        if (!done || log_len > len - pos) return;  // truncated or malformed: leave the rest
        if (log_len >= 6 && static_cast<uint8_t>(pb_buffer[pos]) == 0x08) {
            write_time(pb_buffer + pos + 1, new_time);
        }
        pos += log_len;
    }
}

sds _get_pack_id(const char *configName, const char *ip) {
    sds text = sdsnew(configName);
    text = sdscat(text, ip == nullptr ? "" : ip);
    unsigned char salt[9];
    uint32_t now = lp_local_time();
    for (int i = 0; i < 4; ++i) salt[i] = static_cast<unsigned char>(now >> (8 * i));
    for (int i = 4; i < 8; ++i) salt[i] = static_cast<unsigned char>(std::rand() % 128);
    salt[8] = 0;
    text = sdscat(text, reinterpret_cast<const char *>(salt));  // ends at the first zero byte
    unsigned char digest[16];
    int rc = mbedtls_md5_ret(reinterpret_cast<const unsigned char *>(text), sdslen(text), digest);
    sdsfree(text);
    if (rc != 0) return nullptr;
    static const char hex[] = "0123456789ABCDEF";
    char out[16];
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0x0F];
    }
    return sdsnewlen(out, 16);
}

}  // extern "C"
