#include "logproducer/log_producer_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "logproducer/log_builder.h"
#include "logproducer/log_producer_client.h"
#include "logproducer/log_producer_manager.h"
#include "producer_harness.h"
#include "support/fake_log_service.h"
#include "support/loopback_connect_proxy.h"

namespace {

using namespace std::chrono_literals;
using installer_test::ScriptedReply;
using lp_test::addPair;
using lp_test::FakeClock;
using lp_test::kAccessId;
using lp_test::kAccessKey;
using lp_test::makeConfig;
using lp_test::SendRecorder;

TEST(SenderEncodings, DigestsAndSignaturesMatchKnownValues) {
    char md5[33];
    md5_to_string("abc", 3, md5);
    EXPECT_STREQ(md5, "900150983CD24FB0D6963F7D28E17F72");  // RFC 1321 test suite
    char b64[16];
    EXPECT_EQ(lp_base64_encode(reinterpret_cast<const unsigned char *>("fo"), 2, b64, sizeof(b64)), 4);
    EXPECT_STREQ(b64, "Zm8=");
    // RFC 2202 test case 2, and the same through an independent implementation.
    sds sig = signature_to_base64("what do ya want for nothing?", "Jefe");
    EXPECT_STREQ(sig, "7/zfauXrL6LSdBbV8YTfnCWafHk=");
    EXPECT_EQ(std::string(sig), installer_test::hmacSha1Base64("Jefe", "what do ya want for nothing?"));
    sdsfree(sig);
    char date[64];
    log_rfc822_date(date, sizeof(date), 784111777);
    EXPECT_STREQ(date, "Sun, 06 Nov 1994 08:49:37 GMT");
}

post_log_result result(int status, bool logHeader, const char *body = nullptr) {
    post_log_result r{};
    r.statusCode = status;
    r.requestID = logHeader ? sdsnew("x-log-requestid: 1\r\n") : nullptr;
    r.errorMessage = body != nullptr ? sdsnew(body) : nullptr;
    return r;
}

void release(post_log_result &r) {
    sdsfree(r.requestID);
    sdsfree(r.errorMessage);
}

TEST(SenderClasses, StatusHeadersAndBodyDecideTheClass) {
    struct Case {
        int status;
        bool header;
        const char *body;
        int cls;
    } cases[] = {
        {200, false, nullptr, LOG_SEND_OK},          {204, true, nullptr, LOG_SEND_OK},
        {0, false, nullptr, LOG_SEND_NETWORK_ERROR}, {-7, true, nullptr, LOG_SEND_NETWORK_ERROR},
        {500, true, nullptr, LOG_SEND_SERVER_ERROR}, {403, false, nullptr, LOG_SEND_SERVER_ERROR},
        {403, true, nullptr, LOG_SEND_QUOTA_EXCEED}, {401, true, nullptr, LOG_SEND_UNAUTHORIZED},
        {404, true, nullptr, LOG_SEND_UNAUTHORIZED}, {400, true, R"({"errorCode":"RequestTimeExpired"})", LOG_SEND_TIME_ERROR},
        {400, true, "bad", LOG_SEND_DISCARD_ERROR},  {302, true, nullptr, LOG_SEND_DISCARD_ERROR},
    };
    for (const auto &c : cases) {
        post_log_result r = result(c.status, c.header, c.body);
        EXPECT_EQ(LogStatusToResult(&r), c.cls) << c.status;
        release(r);
    }
}

class SenderTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(log_producer_env_init(), LOG_PRODUCER_OK); }
    void TearDown() override {
        stop();
        FakeClock::reset();
        log_producer_env_destroy();
    }
    void start(log_producer_config *config) {
        producer_ = create_log_producer(config, &SendRecorder::callback, &recorder_);
        ASSERT_NE(producer_, nullptr);
        client_ = get_log_producer_client(producer_, nullptr);
        manager_ = log_producer_client_manager(client_);
    }
    void stop() {
        if (producer_ != nullptr) destroy_log_producer(producer_);
        producer_ = nullptr;
    }
    void pauseFlusher() {
        manager_->flusher_paused = 1;
        auto deadline = std::chrono::steady_clock::now() + 2s;
        while (manager_->flusher_paused.load() != 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_EQ(manager_->flusher_paused.load(), 2);
    }
    static long gapMs(const lp_test::SendRecord &a, const lp_test::SendRecord &b) {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b.at - a.at).count());
    }

    installer_test::FakeLogService service_{kAccessId, kAccessKey};
    SendRecorder recorder_;
    log_producer *producer_ = nullptr;
    log_producer_client *client_ = nullptr;
    log_producer_manager *manager_ = nullptr;
};

TEST_F(SenderTest, BackOffDoublesToTwoSecondsAndRestartsWhenTheClassChanges) {
    FakeClock::useLocal(1700000000);
    start(makeConfig(installer_test::unusedLoopbackPort()));
    lz4_log_buf *buf = create_lz4_log_buf("xyz", 3, 3);
    log_producer_send_param *param = create_log_producer_send_param(manager_->producer_config, manager_, buf, 0);
    log_producer_send_error state{};
    auto next = [&](int status, bool header, const char *body = nullptr) {
        post_log_result r = result(status, header, body);
        int32_t wait = log_producer_on_send_done(param, &r, &state);
        release(r);
        return wait;
    };
    EXPECT_EQ(next(-7, false), 500);
    EXPECT_EQ(next(-7, false), 1000);
    EXPECT_EQ(next(503, true), 2000);  // server errors share the network state
    EXPECT_EQ(next(-28, false), 2000);
    EXPECT_EQ(next(403, true), 500);   // quota: a new class starts over
    EXPECT_EQ(next(403, true), 1000);
    EXPECT_EQ(next(400, true, "RequestTimeExpired"), 500);
    EXPECT_EQ(next(-7, false), 500);
    FakeClock::local = 1700000000 + 86401;  // a day of failures: give up
    manager_->totalBufferSize += 3;
    EXPECT_EQ(next(-7, false), 0);
    manager_->totalBufferSize += 3;
    EXPECT_EQ(next(401, true), 0);
    EXPECT_EQ(manager_->totalBufferSize.load(), 0);
    EXPECT_EQ(recorder_.results(),
              (std::vector<log_producer_result>{
                  LOG_PRODUCER_SEND_NETWORK_ERROR, LOG_PRODUCER_SEND_NETWORK_ERROR, LOG_PRODUCER_SEND_SERVER_ERROR,
                  LOG_PRODUCER_SEND_NETWORK_ERROR, LOG_PRODUCER_SEND_QUOTA_ERROR, LOG_PRODUCER_SEND_QUOTA_ERROR,
                  LOG_PRODUCER_SEND_TIME_ERROR, LOG_PRODUCER_SEND_NETWORK_ERROR, LOG_PRODUCER_SEND_NETWORK_ERROR,
                  LOG_PRODUCER_DROP_ERROR, LOG_PRODUCER_SEND_UNAUTHORIZED, LOG_PRODUCER_DROP_ERROR}));
    free_lz4_log_buf(buf);
    delete param;
}

TEST_F(SenderTest, ServerErrorsAreRetriedAfterHalfASecondThenOne) {
    ScriptedReply busy;
    busy.status = 503;
    service_.script(busy);
    service_.script(busy);
    start(makeConfig(service_.port()));
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 1, 5s));
    auto records = recorder_.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].result, LOG_PRODUCER_SEND_SERVER_ERROR);
    EXPECT_NE(records[0].requestId.find("x-log-requestid"), std::string::npos);
    // Each gap is the back-off plus one local request: well under the next
    // step of the doubling.
    EXPECT_GE(gapMs(records[0], records[1]), 450);
    EXPECT_LT(gapMs(records[0], records[1]), 900);
    EXPECT_GE(gapMs(records[1], records[2]), 950);
    EXPECT_LT(gapMs(records[1], records[2]), 1800);
    EXPECT_EQ(service_.acceptedLogs().size(), 1u);
}

TEST_F(SenderTest, QuotaAnswersDependOnTheServicesOwnHeaders) {
    ScriptedReply quota;
    quota.status = 403;
    service_.script(quota);
    quota.logHeaders = false;  // a 403 from something that is not the service
    service_.script(quota);
    start(makeConfig(service_.port()));
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 1, 5s));
    EXPECT_EQ(recorder_.results(), (std::vector<log_producer_result>{LOG_PRODUCER_SEND_QUOTA_ERROR,
                                                                     LOG_PRODUCER_SEND_SERVER_ERROR, LOG_PRODUCER_OK}));
}

TEST_F(SenderTest, UnauthorizedAndNotFoundAreDiscardedWithoutRetry) {
    ScriptedReply reply;
    reply.status = 401;
    service_.script(reply);
    reply.status = 404;
    service_.script(reply);
    start(makeConfig(service_.port()));
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_EQ(addPair(client_, "n", "2", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_DROP_ERROR, 2, 5s));
    stop();
    EXPECT_EQ(service_.requestCount(), 2u);
    EXPECT_EQ(recorder_.count(LOG_PRODUCER_SEND_UNAUTHORIZED), 2u);
}

TEST_F(SenderTest, AnOversizedErrorBodyKeepsItsLastBytesWhereTheCodeIs) {
    ScriptedReply reply;
    reply.status = 400;
    reply.body = std::string(100 * 1024, 'e') + "RequestTimeExpired";
    service_.script(reply);
    start(makeConfig(service_.port()));
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 1, 5s));
    auto records = recorder_.records();
    EXPECT_EQ(records[0].result, LOG_PRODUCER_SEND_TIME_ERROR);
    EXPECT_EQ(records[0].message, reply.body.substr(reply.body.size() - 64 * 1024));
}

TEST_F(SenderTest, AWrongKeyFailsTheServicesSignatureCheck) {
    log_producer_config *config = makeConfig(service_.port());
    log_producer_config_set_access_key(config, "not-the-key");
    start(config);
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_DROP_ERROR, 1, 5s));
    EXPECT_EQ(recorder_.results(),
              (std::vector<log_producer_result>{LOG_PRODUCER_SEND_UNAUTHORIZED, LOG_PRODUCER_DROP_ERROR}));
    EXPECT_EQ(service_.violations(), (std::vector<std::string>{"signature mismatch"}));
    EXPECT_FALSE(service_.rejections().at(0).isClockCheck());
}

TEST_F(SenderTest, TokensAndUncompressedBodiesAreSignedAsTheServiceExpects) {
    service_.setSecurityToken("sts-token");
    log_producer_config *config = makeConfig(service_.port());
    log_producer_config_reset_security_token(config, nullptr, nullptr, "sts-token");
    start(config);
    ASSERT_EQ(addPair(client_, "n", "token", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 1, 5s));
    stop();

    service_.setSecurityToken(std::nullopt);
    config = makeConfig(service_.port());
    log_producer_config_set_compress_type(config, 0);
    log_producer_config_set_topic(config, "plain");
    start(config);
    ASSERT_EQ(addPair(client_, "n", "plain", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 2, 5s));
    stop();
    auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].headers.at("x-acs-security-token"), "sts-token");
    EXPECT_EQ(requests[0].headers.at("x-log-compresstype"), "lz4");
    EXPECT_EQ(requests[1].headers.count("x-log-compresstype"), 0u);
    EXPECT_EQ(requests[1].group.topic, "plain");
    EXPECT_EQ(requests[1].headers.at("user-agent"), "log-producer-lite_0.1.0");
    EXPECT_TRUE(service_.violations().empty());
}

class ExpiredRequestTime : public SenderTest, public testing::WithParamInterface<int> {};

TEST_P(ExpiredRequestTime, IsRetriedWithRestampedLogs) {
    const uint32_t t1 = 1700000000;
    FakeClock::useServer(t1);
    ScriptedReply expired;
    expired.status = 400;
    expired.body = R"({"errorCode":"RequestTimeExpired","errorMessage":"too old"})";
    service_.script(expired);
    log_producer_config *config = makeConfig(service_.port());
    log_producer_config_set_compress_type(config, GetParam());
    start(config);
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_SEND_TIME_ERROR, 1, 5s));
    FakeClock::server = t1 + 50;  // the next attempt comes 500 ms later
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 1, 5s));
    auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].group.logs.at(0).time, t1);
    EXPECT_EQ(requests[1].group.logs.at(0).time, t1 + 50);
    EXPECT_EQ(requests[1].group.logs.at(0).contents, requests[0].group.logs.at(0).contents);
    EXPECT_TRUE(service_.violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Lz4AndPlain, ExpiredRequestTime, testing::Values(1, 0));

TEST_F(SenderTest, ABatchOlderThanTenMinutesIsRestampedBeforeItsFirstAttempt) {
    const uint32_t t = 1700000000;
    FakeClock::useLocal(t);
    FakeClock::useServer(t);
    start(makeConfig(service_.port()));
    pauseFlusher();
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    FakeClock::server = t + 601;
    manager_->flusher_paused = 0;
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 1, 5s));
    auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].group.logs.at(0).time, t + 601);
}

TEST_F(SenderTest, XLogTimeMovesTheLibraryClockOnlyWhenFarOff) {
    const uint32_t now = 1700000000;
    FakeClock::useLocal(now);
    ScriptedReply reply;
    reply.logTime = std::to_string(now - 10);
    service_.script(reply);
    reply.logTime = std::to_string(now - 100);
    service_.script(reply);
    start(makeConfig(service_.port()));
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 1, 5s));
    EXPECT_EQ(LOG_GET_TIME(), now);
    ASSERT_EQ(addPair(client_, "n", "2", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 2, 5s));
    EXPECT_EQ(LOG_GET_TIME(), now - 100);
}

TEST_F(SenderTest, DroppedConnectionsAreNetworkErrorsAndRecoveryCutsTheWait) {
    installer_test::DroppingListener dropping;
    start(makeConfig(dropping.port()));
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_SEND_NETWORK_ERROR, 1, 5s));
    log_producer_client_network_recover(client_);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_SEND_NETWORK_ERROR, 2, 5s));
    auto records = recorder_.records();
    EXPECT_LT(gapMs(records[0], records[1]), 400);  // not the 500 ms back-off
    EXPECT_FALSE(records[0].message.empty());  // curl's text: nothing returned, or a reset
    stop();
    EXPECT_EQ(recorder_.count(LOG_PRODUCER_SEND_EXIT_BUFFERED), 1u);
    EXPECT_GE(dropping.accepted(), 2);
}

TEST_F(SenderTest, AConnectionCutMidAnswerIsANetworkErrorAndIsRetried) {
    ScriptedReply cut;
    cut.dropConnection = true;
    service_.script(cut);
    start(makeConfig(service_.port()));
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 1, 5s));
    EXPECT_EQ(recorder_.results(), (std::vector<log_producer_result>{LOG_PRODUCER_SEND_NETWORK_ERROR, LOG_PRODUCER_OK}));
    EXPECT_EQ(service_.acceptedLogs().size(), 1u);
}

TEST_F(SenderTest, ClockSynchronisationLearnsTheServiceTimeFromAnyAnswer) {
    const uint32_t now = 1700000000;
    FakeClock::useLocal(now);
    ScriptedReply reply;
    reply.logTime = std::to_string(now + 3600);
    service_.setDefaultReply(reply);
    log_producer_config *config = makeConfig(service_.port());
    async_fetch_server_time_from_service(config);
    destroy_log_producer_config(config);  // the thread keeps its own copy
    ASSERT_TRUE(log_wait_server_time_threads(5000));
    EXPECT_EQ(LOG_GET_TIME(), now + 3600);
    EXPECT_EQ(service_.requestCount(), 1u);  // rejected: placeholder credentials
    auto rejections = service_.rejections();
    ASSERT_EQ(rejections.size(), 1u);
    EXPECT_TRUE(rejections[0].isClockCheck()) << rejections[0].logstore << " " << rejections[0].accessKeyId;
}

// The lookup's answer decides: a proxy carries uploads and the clock probe;
// "" connects directly even where the environment names a proxy.
TEST_F(SenderTest, TheProxyLookupChoosesEachRequestsRoute) {
    installer::testing::LoopbackConnectProxy proxy;
    struct Lookup {
        std::string answer;
        std::atomic<int> calls{0};
        static int32_t call(const char *url, char *out, size_t size, void *self) {
            auto *lookup = static_cast<Lookup *>(self);
            ++lookup->calls;
            if (std::strstr(url, "http://project.localhost:") != url) return LOG_PRODUCER_INVALID;
            std::snprintf(out, size, "%s", lookup->answer.c_str());
            return LOG_PRODUCER_OK;
        }
    };
    ::setenv("http_proxy", "http://127.0.0.1:9", 1);  // nothing listens there
    size_t round = 0;
    for (const std::string& answer : {proxy.url(), std::string()}) {
        SCOPED_TRACE(answer);
        Lookup lookup;
        lookup.answer = answer;
        const size_t before = proxy.requests().size();
        log_producer_config *config = makeConfig(service_.port());
        log_producer_config_set_proxy_lookup(config, &Lookup::call, &lookup);
        async_fetch_server_time_from_service(config);
        ASSERT_TRUE(log_wait_server_time_threads(5000));
        start(config);
        ASSERT_EQ(addPair(client_, "n", answer, 1), LOG_PRODUCER_OK);
        ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, ++round, 5s));
        stop();
        EXPECT_EQ(lookup.calls.load(), 2);
        EXPECT_EQ(proxy.requests().size() - before, answer.empty() ? 0u : 2u);
        for (size_t i = before; i < proxy.requests().size(); ++i) {
            EXPECT_EQ(proxy.requests()[i].rfind("POST http://project.localhost:", 0), 0u) << proxy.requests()[i];
        }
    }
    ::unsetenv("http_proxy");
    EXPECT_EQ(service_.acceptedLogs().size(), 2u);
}

TEST(SenderRequest, AnInvalidParameterIsReportedNotSent) {
    log_producer_send_param bogus{};
    bogus.magic_num = 0xDEAD;
    testing::internal::CaptureStdout();
    log_producer_send_fun(&bogus);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("invalid send param, magic num not found, num 0xdead"),
              std::string::npos);
}

}  // namespace
