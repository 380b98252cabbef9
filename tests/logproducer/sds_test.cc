#include "logproducer/sds.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const sdshdr *header(const sds s) { return reinterpret_cast<const sdshdr *>(s - sizeof(sdshdr)); }

TEST(Sds, HeaderOfTwoCountsSitsRightBeforeTerminatedCharacters) {
    sds s = sdsnewlen("a\0b", 3);
    EXPECT_EQ(sizeof(sdshdr), 8u);
    EXPECT_EQ(header(s)->len, 3u);
    EXPECT_EQ(header(s)->free, 0u);
    EXPECT_EQ(std::memcmp(s, "a\0b", 4), 0);  // embedded NUL kept, terminator added
    sdsfree(s);

    sds empty = sdsnewEmpty(100);
    EXPECT_EQ(sdslen(empty), 0u);
    EXPECT_EQ(sdsavail(empty), 100u);
    EXPECT_EQ(empty[0], '\0');
    sdsfree(empty);
    sdsfree(nullptr);
}

TEST(Sds, GrowthDoublesTheNeededTotalBelowOneMebibyteThenAddsOne) {
    sds s = sdsnew("abcd");
    s = sdscatlen(s, "efghij", 6);  // needs 10 → capacity 20
    EXPECT_EQ(sdslen(s), 10u);
    EXPECT_EQ(sdsavail(s), 10u);
    s = sdscat(s, "12345");  // fits, no growth
    EXPECT_EQ(sdsavail(s), 5u);
    EXPECT_STREQ(s, "abcdefghij12345");

    std::string big(SDS_MAX_PREALLOC, 'x');
    s = sdscatlen(s, big.data(), big.size());  // needed ≥ 1 MiB → needed + 1 MiB
    EXPECT_EQ(sdslen(s), 15u + SDS_MAX_PREALLOC);
    EXPECT_EQ(sdsavail(s), static_cast<size_t>(SDS_MAX_PREALLOC));
    s = sdsRemoveFreeSpace(s);
    EXPECT_EQ(sdsavail(s), 0u);
    EXPECT_EQ(s[sdslen(s)], '\0');
    sdsfree(s);
}

TEST(Sds, EditingOperationsKeepLengthAndTerminatorConsistent) {
    sds s = sdsempty();
    s = sdscatchar(s, 'A');
    s = sdscatprintf(s, "-%d-%s", 42, "x");
    EXPECT_STREQ(s, "A-42-x");
    sds copy = sdsdup(s);
    s = sdscatsds(s, copy);
    EXPECT_STREQ(s, "A-42-xA-42-x");
    s = sdscpy(s, "short");
    EXPECT_EQ(sdslen(s), 5u);
    EXPECT_STREQ(s, "short");
    s = sdsgrowzero(s, 8);
    EXPECT_EQ(sdslen(s), 8u);
    EXPECT_EQ(s[5], '\0');
    EXPECT_EQ(s[8], '\0');
    s[2] = '\0';
    sdsupdatelen(s);
    EXPECT_EQ(sdslen(s), 2u);
    sdsclear(s);
    EXPECT_EQ(sdslen(s), 0u);
    EXPECT_STREQ(s, "");

    std::string longText(2000, 'q');
    s = sdscatprintf(s, "%s!", longText.c_str());  // longer than any stack buffer
    EXPECT_EQ(sdslen(s), 2001u);
    EXPECT_EQ(s[2000], '!');
    sdsfree(s);
    sdsfree(copy);
}

}  // namespace
