#include "logproducer/log_producer_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "logproducer/log_api.h"
#include "logproducer/log_producer_client.h"
#include "logproducer/log_producer_sender.h"
#include "producer_harness.h"

namespace {

using lp_test::FakeClock;

struct ConfigDeleter {
    void operator()(log_producer_config *c) const { destroy_log_producer_config(c); }
};
using ConfigPtr = std::unique_ptr<log_producer_config, ConfigDeleter>;

TEST(LogProducerConfig, DefaultsAndSetterRules) {
    ConfigPtr c(create_log_producer_config());
    EXPECT_EQ(c->packetTimeout, 3000);
    EXPECT_EQ(c->logCountPerPackage, 2048);
    EXPECT_EQ(c->logBytesPerPackage, 3 * 1024 * 1024);
    EXPECT_EQ(c->maxBufferBytes, 64 * 1024 * 1024);
    EXPECT_EQ(c->compressType, 1);

    log_producer_config_set_endpoint(c.get(), "https://cn-a.log.example.com");
    EXPECT_STREQ(c->endpoint, "cn-a.log.example.com");
    log_producer_config_set_endpoint(c.get(), "http://plain.example.com");
    EXPECT_STREQ(c->endpoint, "plain.example.com");
    log_producer_config_set_endpoint(c.get(), "bare.example.com");
    EXPECT_STREQ(c->endpoint, "bare.example.com");

    log_producer_config_set_compress_type(c.get(), 2);
    EXPECT_EQ(c->compressType, 1);
    log_producer_config_set_compress_type(c.get(), 0);
    EXPECT_EQ(c->compressType, 0);
    log_producer_config_set_connect_timeout_sec(c.get(), 0);
    EXPECT_EQ(c->connectTimeoutSec, 10);
    log_producer_config_set_packet_log_count(c.get(), -1);
    EXPECT_EQ(c->logCountPerPackage, 2048);
    log_producer_config_set_max_buffer_limit(c.get(), (int64_t{1} << 32) + 5);
    EXPECT_EQ(c->maxBufferBytes, 5);
    log_producer_config_set_ntp_time_offset(c.get(), -7);
    EXPECT_EQ(c->ntpTimeOffset, -7);

    for (char digit = '0'; digit < '9'; ++digit) {
        log_producer_config_add_tag(c.get(), std::string{'k', digit}.c_str(), "v");
    }
    log_producer_config_add_tag(c.get(), "no-value", nullptr);
    EXPECT_EQ(c->tagCount, 9);
    EXPECT_EQ(c->tagAllocSize, 16);
    EXPECT_STREQ(c->tags[8].key, "k8");

    log_producer_config_set_project(nullptr, "ignored");  // absent config: no effect, no crash
}

TEST(LogProducerConfig, ValidityNamesTheFirstMissingGroup) {
    ConfigPtr c(create_log_producer_config());
    log_producer_config_set_endpoint(c.get(), "e");
    log_producer_config_set_project(c.get(), "p");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(log_producer_config_is_valid(c.get()));
    log_producer_config_set_logstore(c.get(), "l");
    EXPECT_FALSE(log_producer_config_is_valid(c.get()));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("invalid producer config destination params"), std::string::npos);
    EXPECT_NE(out.find("[ERROR] [log_producer_config:"), std::string::npos);
    EXPECT_NE(out.find("invalid producer config authority params\n"), std::string::npos);
    log_producer_config_set_access_id(c.get(), "id");
    log_producer_config_set_access_key(c.get(), "key");
    EXPECT_TRUE(log_producer_config_is_valid(c.get()));
    c->packetTimeout = -1;
    EXPECT_FALSE(log_producer_config_is_valid(c.get()));
    EXPECT_FALSE(log_producer_config_is_valid(nullptr));
    EXPECT_EQ(create_log_producer(nullptr, nullptr, nullptr), nullptr);
}

TEST(LogProducerConfig, SecurityTokenResetKeepsAbsentValues) {
    ConfigPtr c(create_log_producer_config());
    log_producer_config_set_access_id(c.get(), "id");
    log_producer_config_set_access_key(c.get(), "key");
    sds id = nullptr, key = nullptr, token = nullptr;
    log_producer_config_get_security(c.get(), &id, &key, &token);
    EXPECT_STREQ(id, "id");
    EXPECT_EQ(token, nullptr);
    sdsfree(id);
    sdsfree(key);
    log_producer_config_reset_security_token(c.get(), nullptr, "key2", "tok");
    log_producer_config_get_security(c.get(), &id, &key, &token);
    EXPECT_STREQ(id, "id");
    EXPECT_STREQ(key, "key2");
    EXPECT_STREQ(token, "tok");
    sdsfree(id);
    sdsfree(key);
    sdsfree(token);
}

class LibraryClock : public testing::Test {
protected:
    void TearDown() override { FakeClock::reset(); }
};

TEST_F(LibraryClock, ServerTimeAdvancesWithLocalSecondsAndNeverRunsBack) {
    FakeClock::useLocal(1000000);
    EXPECT_EQ(LOG_GET_TIME(), 1000000u);
    log_set_local_server_real_time(1700000000);
    FakeClock::local = 1000005;
    EXPECT_EQ(LOG_GET_TIME(), 1700000005u);
    FakeClock::local = 999000;  // local clock set back before the moment learnt
    EXPECT_EQ(LOG_GET_TIME(), 1700000000u);
    FakeClock::useServer(42);
    EXPECT_EQ(LOG_GET_TIME(), 42u);  // a replacement clock wins
}

TEST_F(LibraryClock, XLogTimeMovesTheClockOnlyWhenFarOff) {
    FakeClock::useLocal(1700000000);
    auto feed = [](std::string line) {
        post_log_result result{};
        log_producer_header_callback(line.data(), 1, line.size(), &result);
        std::string id = result.requestID ? result.requestID : "";
        sdsfree(result.requestID);
        return id;
    };
    EXPECT_EQ(feed("x-log-time: 1699999990\r\n"), "x-log-time: 1699999990\r\n");
    EXPECT_EQ(LOG_GET_TIME(), 1700000000u);  // 10 s off: the local clock stays in charge
    feed("x-log-time: 1699999900\r\n");
    EXPECT_EQ(LOG_GET_TIME(), 1699999900u);
    log_set_local_server_real_time(0);
    // Malformed values never move it and never read past the line.
    for (std::string line : {"x-log-time:\r\n", "x-log-time: abc\r\n", "x-log-time: 99999999999999999999999999\r\n",
                             "x-log-time: 1000\r\n", "x-log-timestamp", "x-log-"}) {
        std::unique_ptr<char[]> exact(new char[line.size()]);
        std::memcpy(exact.get(), line.data(), line.size());
        post_log_result result{};
        log_producer_header_callback(exact.get(), 1, line.size(), &result);
        sdsfree(result.requestID);
        EXPECT_EQ(LOG_GET_TIME(), 1700000000u) << line;
    }
    std::string huge = "x-log-time: " + std::string(100000, '7');
    EXPECT_EQ(feed(huge).size(), huge.size());
    EXPECT_EQ(log_parse_header_time("x-log-time: 1700000123", 22), 1700000123u);
}

TEST(Diagnostics, LinesCarryLevelFileAndLineAndRespectTheLevel) {
    testing::internal::CaptureStdout();
    lp_warn_log("warned %d\n\n\n", 7);
    lp_info_log("not printed at the default level");
    lp_log_set_level(LP_LOG_LEVEL_INFO);
    lp_info_log("informed");
    lp_log_set_level(LP_LOG_LEVEL_WARN);
    std::string longFile(1100, 'f');
    lp_log_format(LP_LOG_LEVEL_ERROR, longFile.c_str(), 1, "fn", "x");
    std::string big(5000, 'm');
    lp_log_format(LP_LOG_LEVEL_ERROR, "dir/file.cc", 3, "fn", "%s", big.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[WARN] [log_producer_config_test:"), std::string::npos);
    EXPECT_NE(out.find("] warned 7\n[INFO]"), std::string::npos);  // trailing breaks collapse to one
    EXPECT_EQ(out.find("not printed"), std::string::npos);
    EXPECT_NE(out.find("[lp_log_format] error log fmt\n"), std::string::npos);
    size_t at = out.find("[ERROR] [file:3] ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(out.find('\n', at) - at + 1, 1020u);
}

TEST(Environment, SecondInitReturnsTheFirstResult) {
    EXPECT_EQ(log_producer_env_init(), LOG_PRODUCER_OK);
    EXPECT_EQ(log_producer_env_init(), LOG_PRODUCER_OK);
    log_producer_env_destroy();
    EXPECT_EQ(log_producer_env_init(), LOG_PRODUCER_OK);
    log_producer_env_destroy();
    log_producer_env_destroy();
    EXPECT_TRUE(is_log_producer_result_ok(LOG_PRODUCER_OK));
    EXPECT_FALSE(is_log_producer_result_ok(LOG_PRODUCER_SEND_EXIT_BUFFERED));
}

}  // namespace
