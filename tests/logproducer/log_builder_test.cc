#include "logproducer/log_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "logproducer/log_api.h"
#include "support/fake_log_service.h"

namespace {

using installer_test::decodeLogGroup;

std::string bytesOf(const lz4_log_buf *buf) {
    return std::string(reinterpret_cast<const char *>(buf->data), buf->length);
}

void addLog(log_group_builder *b, uint32_t t, std::vector<std::pair<std::string, std::string>> pairs) {
    std::vector<char *> keys, values;
    std::vector<size_t> keyLens, valueLens;
    for (auto &[k, v] : pairs) {
        keys.push_back(k.data());
        values.push_back(v.data());
        keyLens.push_back(k.size());
        valueLens.push_back(v.size());
    }
    add_log_full(b, t, static_cast<int32_t>(pairs.size()), keys.data(), keyLens.data(), values.data(),
                 valueLens.data());
}

std::string plainGroup(log_group_builder *b) {
    lz4_log_buf *buf = serialize_to_proto_buf_with_malloc_no_lz4(b);
    std::string out = bytesOf(buf);
    free_lz4_log_buf(buf);
    return out;
}

TEST(LogBuilder, EncodesOneLogExactlyWithAFiveByteTime) {
    log_group_builder *b = log_group_create();
    addLog(b, 1700000000, {{"k", "v"}});
    const unsigned char expected[] = {0x0A, 0x0E, 0x08, 0x80, 0xE2, 0xCF, 0xAA, 0x06,
                                      0x12, 0x06, 0x0A, 0x01, 0x6B, 0x12, 0x01, 0x76};
    EXPECT_EQ(plainGroup(b), std::string(reinterpret_cast<const char *>(expected), sizeof(expected)));
    log_group_destroy(b);
}

TEST(LogBuilder, EarlyTimesAreRaisedAndLongKeysUseTwoByteLengths) {
    log_group_builder *b = log_group_create();
    std::string key(200, 'k');
    addLog(b, 0, {{key, "value"}});
    std::string bytes = plainGroup(b);
    auto group = decodeLogGroup(bytes);
    ASSERT_TRUE(group);
    ASSERT_EQ(group->logs.size(), 1u);
    EXPECT_EQ(group->logs[0].time, LOG_BUILDER_MIN_TIME);
    EXPECT_EQ(group->logs[0].contents[0].first, key);
    // log = 08 <5> 12 D2 01 <210>: 219 bytes; content = 0A C8 01 <200> 12 05 <5>: 210 bytes
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x0A\xDB\x01\x08", 4));
    EXPECT_EQ(bytes.substr(9, 6), std::string("\x12\xD2\x01\x0A\xC8\x01", 6));
    EXPECT_EQ(bytes.size(), 3u + 219u);
    log_group_destroy(b);
}

TEST(LogBuilder, GroupFieldsFollowTheLogsInTopicSourceTagOrder) {
    log_group_builder *b = log_group_create();
    addLog(b, 1700000000, {{"k", "v"}});
    addLog(b, 1700000001, {{"a", "1"}, {"b", ""}});
    add_tag(b, "t1", 2, "x", 1);
    add_topic(b, "T", 1);
    add_tag(b, "t2", 2, "y", 1);
    std::string bytes = plainGroup(b);
    // logs first, then 1A 01 54 (topic T), then the tags as added
    size_t topicAt = bytes.find(std::string("\x1A\x01T", 3));
    ASSERT_NE(topicAt, std::string::npos);
    EXPECT_EQ(bytes.substr(topicAt + 3),
              std::string("\x32\x07\x0A\x02t1\x12\x01x\x32\x07\x0A\x02t2\x12\x01y", 18));
    auto group = decodeLogGroup(bytes);
    ASSERT_TRUE(group);
    ASSERT_EQ(group->logs.size(), 2u);
    EXPECT_EQ(group->logs[1].contents.size(), 2u);
    EXPECT_EQ(group->topic, "T");
    EXPECT_FALSE(group->source);
    log_group_destroy(b);

    b = log_group_create();
    addLog(b, 1700000000, {{"k", "v"}});
    add_source(b, "S", 1);
    add_topic(b, "T", 1);
    bytes = plainGroup(b);
    EXPECT_EQ(bytes.substr(16), std::string("\x1A\x01T\x22\x01S", 6));
    log_group_destroy(b);
}

TEST(LogBuilder, PackIdTagCountsInUpperCaseHex) {
    for (auto [seq, suffix] : std::vector<std::pair<size_t, std::string>>{{0, "-0"}, {9, "-9"}, {10, "-A"}, {26, "-1A"}}) {
        log_group_builder *b = log_group_create();
        addLog(b, 1700000000, {{"k", "v"}});
        add_pack_id(b, "0123456789ABCDEF", 16, seq);
        auto group = decodeLogGroup(plainGroup(b));
        ASSERT_TRUE(group);
        EXPECT_EQ(group->tag("__pack_id__"), "0123456789ABCDEF" + suffix);
        log_group_destroy(b);
    }
    sds prefix = _get_pack_id("events", "undefined");
    ASSERT_NE(prefix, nullptr);
    EXPECT_EQ(sdslen(prefix), 16u);
    for (size_t i = 0; i < 16; ++i) EXPECT_TRUE(std::isxdigit(prefix[i]) && !std::islower(prefix[i]));
    sdsfree(prefix);
}

TEST(LogBuilder, LoggroupSizeBoundsTheSerialisedGroup) {
    log_group_builder *b = log_group_create();
    size_t before = b->loggroupSize;
    for (int i = 0; i < 100; ++i) addLog(b, 1700000000 + i, {{"key" + std::to_string(i), std::string(i, 'v')}});
    add_topic(b, "topic", 5);
    add_source(b, "source", 6);
    add_tag(b, "tag", 3, "value", 5);
    size_t budget = b->loggroupSize;
    std::string bytes = plainGroup(b);
    EXPECT_EQ(budget - before, bytes.size());
    log_group_destroy(b);
}

TEST(LogBuilder, Lz4VariantRoundTripsAndEmptyGroupsYieldNothing) {
    log_group_builder *b = log_group_create();
    EXPECT_EQ(serialize_to_proto_buf_with_malloc_lz4(b), nullptr);
    lz4_log_buf *empty = serialize_to_proto_buf_with_malloc_no_lz4(b);
    EXPECT_EQ(empty->length, 0u);
    free_lz4_log_buf(empty);
    for (int i = 0; i < 50; ++i) addLog(b, 1700000000, {{"event", "click"}, {"n", std::to_string(i)}});
    lz4_log_buf *buf = serialize_to_proto_buf_with_malloc_lz4(b);
    ASSERT_NE(buf, nullptr);
    EXPECT_LT(buf->length, buf->rawLength);
    auto raw = installer_test::lz4Decompress(bytesOf(buf), buf->rawLength);
    ASSERT_TRUE(raw);
    auto group = decodeLogGroup(*raw);
    ASSERT_TRUE(group);
    EXPECT_EQ(group->logs.size(), 50u);
    free_lz4_log_buf(buf);
    log_group_destroy(b);
}

TEST(LogBuilder, FixTimeRewritesOnlyTheTimeBytesOfEveryLog) {
    log_group_builder *b = log_group_create();
    addLog(b, 1700000000, {{"k", "v"}});
    addLog(b, 1700000005, {{std::string(300, 'a'), "b"}});  // two-byte log length
    addLog(b, 1700000009, {});
    add_topic(b, "T", 1);
    add_tag(b, "k", 1, "\x0A\x08", 2);
    std::string original = plainGroup(b);
    log_group_destroy(b);

    std::string same = original;
    fix_log_group_time(same.data(), same.size(), 1263563522);
    EXPECT_EQ(same, original);

    std::string fixed = original;
    fix_log_group_time(fixed.data(), fixed.size(), 1800000000);
    auto before = decodeLogGroup(original);
    auto after = decodeLogGroup(fixed);
    ASSERT_TRUE(before && after);
    ASSERT_EQ(after->logs.size(), 3u);
    size_t changed = 0;
    for (size_t i = 0; i < original.size(); ++i) changed += original[i] != fixed[i];
    EXPECT_LE(changed, 15u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(after->logs[i].time, 1800000000u);
        EXPECT_EQ(after->logs[i].contents, before->logs[i].contents);
    }
    EXPECT_EQ(after->tags, before->tags);
    EXPECT_EQ(after->topic, before->topic);
}

TEST(LogBuilder, FixTimeStaysInsideTruncatedOrMalformedBytes) {
    log_group_builder *b = log_group_create();
    addLog(b, 1700000000, {{"key", "value"}});
    addLog(b, 1700000000, {{"key", "value"}});
    std::string full = plainGroup(b);
    log_group_destroy(b);
    // Every prefix, in an exactly sized heap block so ASan sees any overrun.
    for (size_t len = 1; len < full.size(); ++len) {
        std::unique_ptr<char[]> bytes(new char[len]);
        std::memcpy(bytes.get(), full.data(), len);
        fix_log_group_time(bytes.get(), len, 1800000000);
    }
    const char *malformed[] = {"\x0A", "\x0A\xFF", "\x0A\xFF\xFF\xFF\xFF\xFF\xFF", "\x0A\x7F\x08", "\x0A\x02\x08"};
    for (const char *m : malformed) {
        size_t len = std::strlen(m);
        std::unique_ptr<char[]> bytes(new char[len]);
        std::memcpy(bytes.get(), m, len);
        fix_log_group_time(bytes.get(), len, 1800000000);
        EXPECT_EQ(std::memcmp(bytes.get(), m, len), 0);
    }
}

// The wire format once more, read by protoc's own decoder.
TEST(LogBuilder, ProtocDecodesTheGroupIndependently) {
    if (std::system("command -v protoc >/dev/null 2>&1") != 0) GTEST_SKIP() << "protoc not installed";
    log_group_builder *b = log_group_create();
    addLog(b, 1700000000, {{"name", "launch"}, {"os", "14.1"}});
    add_topic(b, "topic", 5);
    add_source(b, "10.0.0.1", 8);
    add_pack_id(b, "0123456789ABCDEF", 16, 3);
    std::string bytes = plainGroup(b);
    log_group_destroy(b);

    auto dir = std::filesystem::temp_directory_path() / ("lp-protoc-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "group.bin", std::ios::binary) << bytes;
    std::string cmd = "protoc --decode_raw < '" + (dir / "group.bin").string() + "' > '" +
                      (dir / "out.txt").string() + "' 2>&1";
    int status = std::system(cmd.c_str());
    std::ifstream in(dir / "out.txt");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_EQ(text,
              "1 {\n"
              "  1: 1700000000\n"
              "  2 {\n    1: \"name\"\n    2: \"launch\"\n  }\n"
              "  2 {\n    1: \"os\"\n    2: \"14.1\"\n  }\n"
              "}\n"
              "3: \"topic\"\n"
              "4: \"10.0.0.1\"\n"
              "6 {\n  1: \"__pack_id__\"\n  2: \"0123456789ABCDEF-3\"\n}\n");
}

}  // namespace
