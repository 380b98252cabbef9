#include "logproducer/log_producer_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "logproducer/log_builder.h"
#include "logproducer/log_producer_client.h"
#include "logproducer/log_producer_sender.h"
#include "producer_harness.h"
#include "support/fake_log_service.h"

namespace {

using namespace std::chrono_literals;
using lp_test::addPair;
using lp_test::FakeClock;
using lp_test::kAccessId;
using lp_test::kAccessKey;
using lp_test::makeConfig;
using lp_test::SendRecorder;

class ProducerTest : public testing::Test {
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
        client_ = nullptr;
        manager_ = nullptr;
    }
    void pauseFlusher() {
        manager_->flusher_paused = 1;
        auto deadline = std::chrono::steady_clock::now() + 2s;
        while (manager_->flusher_paused.load() != 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_EQ(manager_->flusher_paused.load(), 2);
    }
    std::vector<size_t> logCounts() const {
        std::vector<size_t> counts;
        for (const auto &r : service_.requests()) counts.push_back(r.group.logs.size());
        return counts;
    }

    installer_test::FakeLogService service_{kAccessId, kAccessKey};
    SendRecorder recorder_;
    log_producer *producer_ = nullptr;
    log_producer_client *client_ = nullptr;
    log_producer_manager *manager_ = nullptr;
};

TEST_F(ProducerTest, BatchesCloseByLogCountAndTheRestLeavesAtDestroy) {
    log_producer_config *config = makeConfig(service_.port());
    log_producer_config_set_packet_log_count(config, 3);
    start(config);
    for (int i = 0; i < 7; ++i) ASSERT_EQ(addPair(client_, "n", std::to_string(i)), LOG_PRODUCER_OK);
    ASSERT_TRUE(service_.waitForRequests(2, 5s));
    stop();
    EXPECT_EQ(logCounts(), (std::vector<size_t>{3, 3, 1}));
    auto logs = service_.acceptedLogs();
    ASSERT_EQ(logs.size(), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(logs[i].contents[0].second, std::to_string(i));
    EXPECT_TRUE(service_.violations().empty());
    EXPECT_EQ(recorder_.count(LOG_PRODUCER_OK), 3u);
}

TEST_F(ProducerTest, BatchesCloseByBytesWithTheLogThatReachesTheLimit) {
    // One log "payload" = 300 bytes on the wire: tag, length 321, then the
    // time field (6) and one content (tag, length 312, 2 + 7 + 1 + 300 + 2).
    constexpr size_t kLogBytes = 1 + 2 + 321;
    log_group_builder *empty = log_group_create();
    const size_t overhead = empty->loggroupSize;  // the builder's own size
    log_group_destroy(empty);
    struct Case {
        size_t limit;
        std::vector<size_t> counts;
    };
    const size_t five = overhead + 5 * kLogBytes;
    for (const Case &c : {Case{five - 1, {5, 5, 5, 5}}, Case{five, {5, 5, 5, 5}}, Case{five + 1, {6, 6, 6, 2}}}) {
        SCOPED_TRACE(c.limit);
        installer_test::FakeLogService service{kAccessId, kAccessKey};
        log_producer_config *config = makeConfig(service.port());
        log_producer_config_set_packet_log_bytes(config, static_cast<int32_t>(c.limit));
        start(config);
        for (int i = 0; i < 20; ++i) ASSERT_EQ(addPair(client_, "payload", std::string(300, 'v')), LOG_PRODUCER_OK);
        stop();
        std::vector<size_t> counts;
        for (const auto &r : service.requests()) counts.push_back(r.group.logs.size());
        EXPECT_EQ(counts, c.counts);
    }
}

TEST_F(ProducerTest, AQuietBatchLeavesAtItsFirstFlusherLoopAfterTPlusFour) {
    const uint32_t t = 1700000000;
    FakeClock::useLocal(t);
    start(makeConfig(service_.port()));  // packet time-out 3000 ms
    ASSERT_EQ(addPair(client_, "n", "first"), LOG_PRODUCER_OK);
    FakeClock::local = t + 3;  // age 3 is not above the limit
    EXPECT_FALSE(service_.waitForRequests(1, 400ms));
    FakeClock::local = t + 4;
    ASSERT_TRUE(service_.waitForRequests(1, 2s));
    EXPECT_EQ(logCounts(), (std::vector<size_t>{1}));

    // The adder keeps a batch open only while its age is below the limit.
    ASSERT_EQ(addPair(client_, "n", "second"), LOG_PRODUCER_OK);  // opens at t + 4
    FakeClock::local = t + 7;
    ASSERT_EQ(addPair(client_, "n", "third"), LOG_PRODUCER_OK);  // age 3: closes now
    ASSERT_TRUE(service_.waitForRequests(2, 2s));
    EXPECT_EQ(logCounts(), (std::vector<size_t>{1, 2}));
}

TEST_F(ProducerTest, FlushOnAddClosesAtOnceAndOddStringsAreIgnored) {
    start(makeConfig(service_.port()));
    EXPECT_EQ(log_producer_client_add_log(nullptr, 2, "k", "v"), LOG_PRODUCER_INVALID);
    ASSERT_EQ(log_producer_client_add_log(client_, 3, "k", "v", "odd"), LOG_PRODUCER_OK);
    ASSERT_EQ(addPair(client_, "flush", "now", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(service_.waitForRequests(1, 2s));
    auto logs = service_.acceptedLogs();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0].contents, (installer_test::KeyValues{{"k", "v"}}));
}

TEST_F(ProducerTest, GroupsCarryConfiguredTagsTopicSourceAndConsecutivePackIds) {
    log_producer_config *config = makeConfig(service_.port());
    log_producer_config_add_tag(config, "app", "installer");
    log_producer_config_set_topic(config, "usage");
    log_producer_config_set_source(config, "10.1.2.3");
    start(config);
    for (int i = 0; i < 11; ++i) ASSERT_EQ(addPair(client_, "n", std::to_string(i), 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(service_.waitForRequests(11, 5s));
    auto requests = service_.requests();
    std::string prefix = requests[0].group.tag("__pack_id__").substr(0, 16);
    const char *suffixes[] = {"-0", "-1", "-2", "-3", "-4", "-5", "-6", "-7", "-8", "-9", "-A"};
    for (int i = 0; i < 11; ++i) {
        const auto &g = requests[i].group;
        EXPECT_EQ(g.tag("__pack_id__"), prefix + suffixes[i]);
        EXPECT_EQ(g.tags.front(), (std::pair<std::string, std::string>{"app", "installer"}));
        EXPECT_EQ(g.topic, "usage");
        EXPECT_EQ(g.source, "10.1.2.3");
        EXPECT_EQ(requests[i].logstore, "events");
    }
}

TEST_F(ProducerTest, TheThirtyThirdClosedBatchIsRefusedWhileTheFlusherIsHeld) {
    start(makeConfig(service_.port()));
    pauseFlusher();
    for (int i = 0; i < 32; ++i) ASSERT_EQ(addPair(client_, "n", std::to_string(i), 1), LOG_PRODUCER_OK) << i;
    EXPECT_EQ(addPair(client_, "n", "32", 1), LOG_PRODUCER_DROP_ERROR);
    manager_->flusher_paused = 0;
    ASSERT_TRUE(service_.waitForRequests(32, 10s));
    EXPECT_EQ(addPair(client_, "n", "again", 1), LOG_PRODUCER_OK);
}

TEST_F(ProducerTest, TheMemoryCeilingDropsAddsUntilSendsReleaseBytes) {
    log_producer_config *config = makeConfig(service_.port());
    log_producer_config_set_max_buffer_limit(config, 2000);
    start(config);
    pauseFlusher();
    std::string value(300, 'v');
    int accepted = 0;
    while (addPair(client_, "payload", value, 1) == LOG_PRODUCER_OK) ++accepted;
    EXPECT_GE(accepted, 5);
    EXPECT_LE(accepted, 7);
    EXPECT_GT(manager_->totalBufferSize.load(), 2000);
    EXPECT_EQ(addPair(client_, "payload", value, 1), LOG_PRODUCER_DROP_ERROR);
    manager_->flusher_paused = 0;
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, static_cast<size_t>(accepted), 5s));
    // The callback runs just before the bytes are released.
    EXPECT_TRUE(lp_test::eventually([&] { return manager_->totalBufferSize.load() == 0; }, 2s));
    EXPECT_EQ(addPair(client_, "payload", value, 1), LOG_PRODUCER_OK);
}

TEST_F(ProducerTest, AddsFromSeveralThreadsAreReceivedExactlyOnce) {
    start(makeConfig(service_.port(), 4));
    constexpr int kThreads = 4;
    constexpr int kPerThread = 3000;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                std::string id = std::to_string(t) + ":" + std::to_string(i);
                if (log_producer_client_add_log(client_, 4, "id", id.c_str(), "event", "click") != LOG_PRODUCER_OK)
                    ++failures;
            }
        });
    }
    for (auto &th : threads) th.join();
    // Every log arrives before the destroy, whose flush has a bound a
    // loaded machine may outlast; a duplicate sent later still shows.
    EXPECT_TRUE(service_.waitForAcceptedLogs(kThreads * kPerThread, 60s));
    stop();
    EXPECT_EQ(failures.load(), 0);
    std::map<std::string, int> seen;
    for (const auto &log : service_.acceptedLogs()) ++seen[log.contents.at(0).second];
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
    for (const auto &[id, n] : seen) ASSERT_EQ(n, 1) << id;
    EXPECT_TRUE(service_.violations().empty());
}

TEST_F(ProducerTest, DestroyRightAfterAnAddStillDeliversIt) {
    // Destroy must not take a batch in the flusher's or a sender's hands for
    // a drained pipeline.
    for (int i = 0; i < 10; ++i) {
        start(makeConfig(service_.port(), 4));
        ASSERT_EQ(addPair(client_, "n", std::to_string(i), 1), LOG_PRODUCER_OK);
        stop();
        ASSERT_EQ(service_.acceptedLogs().size(), static_cast<size_t>(i + 1));
    }
    EXPECT_EQ(recorder_.count(LOG_PRODUCER_SEND_EXIT_BUFFERED), 0u);
}

TEST_F(ProducerTest, WithoutSenderThreadsTheFlusherSends) {
    start(makeConfig(service_.port(), 0));
    EXPECT_EQ(manager_->sender_data_queue, nullptr);
    ASSERT_EQ(addPair(client_, "n", "1", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(recorder_.waitFor(LOG_PRODUCER_OK, 1, 5s));
    ASSERT_EQ(addPair(client_, "n", "2"), LOG_PRODUCER_OK);
    stop();
    EXPECT_EQ(service_.acceptedLogs().size(), 2u);
}

TEST_F(ProducerTest, RawBuffersAreSentAsGiven) {
    start(makeConfig(service_.port()));
    log_group_builder *b = log_group_create();
    char key[] = "raw";
    char value[] = "buffer";
    char *keys[] = {key};
    char *values[] = {value};
    size_t keyLens[] = {3};
    size_t valueLens[] = {6};
    add_log_full(b, 1700000000, 1, keys, keyLens, values, valueLens);
    lz4_log_buf *buf = serialize_to_proto_buf_with_malloc_lz4(b);
    log_group_destroy(b);
    ASSERT_EQ(log_producer_client_add_raw_log_buffer(client_, buf->rawLength, buf->length, buf->data), LOG_PRODUCER_OK);
    free_lz4_log_buf(buf);
    ASSERT_TRUE(service_.waitForRequests(1, 2s));
    EXPECT_EQ(service_.acceptedLogs().at(0).contents.at(0).second, "buffer");
}

TEST_F(ProducerTest, DestroyWithNothingBufferedReturnsPromptly) {
    start(makeConfig(service_.port(), 4));
    auto begin = std::chrono::steady_clock::now();
    stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    EXPECT_TRUE(recorder_.records().empty());
}

// Listens on loopback and never answers: connections complete in the
// kernel's queue and then hear nothing. Closing it resets them.
class BlackHole {
public:
    BlackHole() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd_, 64) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
        }
        port_ = ntohs(addr.sin_port);
    }
    ~BlackHole() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST_F(ProducerTest, ShutdownAgainstABlackHoledServiceTakesOnlyTheDrainWait) {
    {
        BlackHole hole;
        log_producer_config *config = makeConfig(hole.port(), 4);
        log_producer_config_set_connect_timeout_sec(config, 60);
        log_producer_config_set_send_timeout_sec(config, 60);
        auto begin = std::chrono::steady_clock::now();
        ASSERT_EQ(log_producer_env_init(), LOG_PRODUCER_OK);
        async_fetch_server_time_from_service(config);  // as the tracker starts it
        start(config);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(addPair(client_, "n", std::to_string(i), 1), LOG_PRODUCER_OK);
        stop();
        log_producer_env_destroy();
        auto elapsed = std::chrono::steady_clock::now() - begin;
        EXPECT_GE(elapsed, 1900ms);  // the 1 s + 1 s drain is still given
        EXPECT_LT(elapsed, 3s);
        EXPECT_EQ(recorder_.count(LOG_PRODUCER_SEND_EXIT_BUFFERED), 3u);
        EXPECT_EQ(recorder_.count(LOG_PRODUCER_OK), 0u);
    }
    // The hole is closed: the clock request fails and its thread ends.
    EXPECT_TRUE(log_wait_server_time_threads(5000));
}

}  // namespace
