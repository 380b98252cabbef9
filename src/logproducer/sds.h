/* Dynamic strings of the log producer.
 *
 * An sds is a pointer to NUL-terminated characters preceded in memory by a
 * header of two unsigned 32-bit fields: the used length and the free capacity
 * after it. The pointer can be passed wherever a plain C string is expected;
 * the bytes may contain NULs, sdslen() gives the real length.
 *
 * Ownership: every function that returns an sds returns a string owned by the
 * caller, freed with sdsfree(). Functions that grow a string (cat, cpy,
 * makeroom, growzero) may move it and return the new pointer; the old one is
 * invalid afterwards. A string's length and capacity are limited to what fits
 * in 32 bits; a request beyond that aborts the process rather than wrapping.
 *
 * Thread safety: none; a string belongs to one thread at a time.
 */
#ifndef LOGPRODUCER_SDS_H
#define LOGPRODUCER_SDS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef char *sds;

struct sdshdr {
    uint32_t len;  /* bytes in use, not counting the terminator */
    uint32_t free; /* bytes available after them, not counting the terminator */
};

/* Below this size growth doubles the needed total; above it adds a fixed step. */
#define SDS_MAX_PREALLOC (1024 * 1024)

sds sdsnewlen(const void *init, size_t initlen);
sds sdsnew(const char *init);          /* absent init gives an empty string */
sds sdsempty(void);
sds sdsnewEmpty(size_t preAlloclen);   /* empty, with that much free capacity */
sds sdsdup(const sds s);
void sdsfree(sds s);                   /* absent s is allowed */

size_t sdslen(const sds s);
size_t sdsavail(const sds s);

void sdsclear(sds s);                  /* length 0, capacity kept */
void sdsupdatelen(sds s);              /* length = strlen after external writes */
void sdsIncrLen(sds s, int incr);      /* after writing incr bytes into the free space */

sds sdsMakeRoomFor(sds s, size_t addlen);
sds sdsRemoveFreeSpace(sds s);
sds sdsgrowzero(sds s, size_t len);

sds sdscatlen(sds s, const void *t, size_t len);
sds sdscat(sds s, const char *t);
sds sdscatsds(sds s, const sds t);
sds sdscatchar(sds s, char c);
sds sdscpylen(sds s, const char *t, size_t len);
sds sdscpy(sds s, const char *t);
sds sdscatvprintf(sds s, const char *fmt, va_list ap);
#ifdef __GNUC__
sds sdscatprintf(sds s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
#else
sds sdscatprintf(sds s, const char *fmt, ...);
#endif

#ifdef __cplusplus
}
#endif

#endif
