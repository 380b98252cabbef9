#include "logproducer/sds.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

sdshdr *header_of(const sds s) {
    return reinterpret_cast<sdshdr *>(s - sizeof(sdshdr));
}

// Capacities live in 32-bit fields: refusing to wrap is the only safe answer.
void check_fits(size_t total) {
    if (total > UINT32_MAX - 1) {
        std::fprintf(stderr, "sds: string of %zu bytes exceeds 32-bit capacity\n", total);
        std::abort();
    }
}

sds allocate(size_t len, size_t capacity) {
    check_fits(capacity);
    auto *sh = static_cast<sdshdr *>(std::malloc(sizeof(sdshdr) + capacity + 1));
    if (sh == nullptr) std::abort();
    sh->len = static_cast<uint32_t>(len);
    sh->free = static_cast<uint32_t>(capacity - len);
    char *buf = reinterpret_cast<char *>(sh + 1);
    buf[len] = '\0';
    return buf;
}

}  // namespace

extern "C" {

sds sdsnewlen(const void *init, size_t initlen) {
    sds s = allocate(initlen, initlen);
    if (initlen != 0) {
        if (init != nullptr) std::memcpy(s, init, initlen);
        else std::memset(s, 0, initlen);
    }
    return s;
}

sds sdsnew(const char *init) {
    return sdsnewlen(init, init == nullptr ? 0 : std::strlen(init));
}

sds sdsempty(void) { return sdsnewlen("", 0); }

sds sdsnewEmpty(size_t preAlloclen) { return allocate(0, preAlloclen); }

sds sdsdup(const sds s) { return sdsnewlen(s, sdslen(s)); }

void sdsfree(sds s) {
    if (s != nullptr) std::free(header_of(s));
}

size_t sdslen(const sds s) { return header_of(s)->len; }

size_t sdsavail(const sds s) { return header_of(s)->free; }

void sdsclear(sds s) {
    sdshdr *sh = header_of(s);
    sh->free += sh->len;
    sh->len = 0;
    s[0] = '\0';
}

void sdsupdatelen(sds s) {
    sdshdr *sh = header_of(s);
    size_t reallen = strnlen(s, sh->len + sh->free);
    sh->free = static_cast<uint32_t>(sh->len + sh->free - reallen);
    sh->len = static_cast<uint32_t>(reallen);
    s[reallen] = '\0';
}

void sdsIncrLen(sds s, int incr) {
    sdshdr *sh = header_of(s);
    if (incr >= 0) {
        if (static_cast<uint32_t>(incr) > sh->free) std::abort();
    } else if (static_cast<uint32_t>(-static_cast<int64_t>(incr)) > sh->len) {
        std::abort();
    }
    sh->len = static_cast<uint32_t>(static_cast<int64_t>(sh->len) + incr);
    sh->free = static_cast<uint32_t>(static_cast<int64_t>(sh->free) - incr);
    s[sh->len] = '\0';
}

sds sdsMakeRoomFor(sds s, size_t addlen) {
    sdshdr *sh = header_of(s);
    if (sh->free >= addlen) return s;
    size_t len = sh->len;
    if (addlen > UINT32_MAX) check_fits(addlen);
    size_t needed = len + addlen;
    size_t capacity = needed < SDS_MAX_PREALLOC ? needed * 2 : needed + SDS_MAX_PREALLOC;
    check_fits(capacity);
    auto *grown = static_cast<sdshdr *>(std::realloc(sh, sizeof(sdshdr) + capacity + 1));
    if (grown == nullptr) std::abort();
    grown->free = static_cast<uint32_t>(capacity - len);
    return reinterpret_cast<char *>(grown + 1);
}

sds sdsRemoveFreeSpace(sds s) {
    sdshdr *sh = header_of(s);
    auto *shrunk = static_cast<sdshdr *>(std::realloc(sh, sizeof(sdshdr) + sh->len + 1));
    if (shrunk == nullptr) return s;
    shrunk->free = 0;
    return reinterpret_cast<char *>(shrunk + 1);
}

sds sdsgrowzero(sds s, size_t len) {
    size_t curlen = sdslen(s);
    if (len <= curlen) return s;
    s = sdsMakeRoomFor(s, len - curlen);
    std::memset(s + curlen, 0, len - curlen + 1);
    sdshdr *sh = header_of(s);
    sh->free = static_cast<uint32_t>(sh->free - (len - curlen));
    sh->len = static_cast<uint32_t>(len);
    return s;
}

sds sdscatlen(sds s, const void *t, size_t len) {
    size_t curlen = sdslen(s);
    s = sdsMakeRoomFor(s, len);
    if (len != 0) std::memcpy(s + curlen, t, len);
    sdshdr *sh = header_of(s);
    sh->len = static_cast<uint32_t>(curlen + len);
    sh->free = static_cast<uint32_t>(sh->free - len);
    s[curlen + len] = '\0';
    return s;
}

sds sdscat(sds s, const char *t) { return sdscatlen(s, t, std::strlen(t)); }

sds sdscatsds(sds s, const sds t) { return sdscatlen(s, t, sdslen(t)); }

sds sdscatchar(sds s, char c) { return sdscatlen(s, &c, 1); }

sds sdscpylen(sds s, const char *t, size_t len) {
    sdshdr *sh = header_of(s);
    size_t total = sh->len + sh->free;
    if (total < len) {
        s = sdsMakeRoomFor(s, len - sh->len);
        sh = header_of(s);
        total = sh->len + sh->free;
    }
    std::memmove(s, t, len);
    s[len] = '\0';
    sh->len = static_cast<uint32_t>(len);
    sh->free = static_cast<uint32_t>(total - len);
    return s;
}

sds sdscpy(sds s, const char *t) { return sdscpylen(s, t, std::strlen(t)); }

sds sdscatvprintf(sds s, const char *fmt, va_list ap) {
    char stackbuf[512];
    va_list cpy;
    va_copy(cpy, ap);
    int n = std::vsnprintf(stackbuf, sizeof(stackbuf), fmt, cpy);
    va_end(cpy);
    if (n < 0) return s;
    if (static_cast<size_t>(n) < sizeof(stackbuf)) return sdscatlen(s, stackbuf, static_cast<size_t>(n));
    size_t curlen = sdslen(s);
    s = sdsMakeRoomFor(s, static_cast<size_t>(n));
    va_copy(cpy, ap);
    std::vsnprintf(s + curlen, static_cast<size_t>(n) + 1, fmt, cpy);
    va_end(cpy);
    sdsIncrLen(s, n);
    return s;
}

sds sdscatprintf(sds s, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    s = sdscatvprintf(s, fmt, ap);
    va_end(ap);
    return s;
}

}  // extern "C"
