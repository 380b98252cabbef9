// The spool: batches a producer could not deliver before it was destroyed
// reach the service, exactly once, through the next producer; a spool that
// is damaged or not ours is dropped without harm.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logproducer/log_producer_client.h"
#include "logproducer/log_producer_manager.h"
#include "producer_harness.h"
#include "support/fake_log_service.h"

namespace {

using namespace std::chrono_literals;
using lp_test::addPair;
using lp_test::kAccessId;
using lp_test::kAccessKey;
using lp_test::makeConfig;
using lp_test::SendRecorder;

class SpoolTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(log_producer_env_init(), LOG_PRODUCER_OK);
        dir_ = std::filesystem::temp_directory_path() / ("spool-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        log_producer_env_destroy();
        std::filesystem::remove_all(dir_);
    }

    std::filesystem::path spool() const { return dir_ / "support" / "events.spool"; }

    log_producer *start(int port, SendRecorder &recorder, int64_t maxBytes = 0) {
        log_producer_config *config = makeConfig(port, 1);
        log_producer_config_set_spool_file(config, spool().c_str());
        if (maxBytes > 0) log_producer_config_set_spool_max_bytes(config, maxBytes);
        return create_log_producer(config, &SendRecorder::callback, &recorder);
    }

    // A producer whose service is down at quit: `count` events, one batch
    // each, end up in the spool.
    void quitWhileTheServiceIsDown(int count, int64_t maxBytes = 0) {
        SendRecorder recorder;
        log_producer *producer = start(installer_test::unusedLoopbackPort(), recorder, maxBytes);
        ASSERT_NE(producer, nullptr);
        log_producer_client *client = get_log_producer_client(producer, nullptr);
        for (int i = 0; i < count; ++i) ASSERT_EQ(addPair(client, "n", std::to_string(i), 1), LOG_PRODUCER_OK);
        auto begin = std::chrono::steady_clock::now();
        destroy_log_producer(producer);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s) << "the quit must stay short";
        ASSERT_TRUE(std::filesystem::exists(spool()));
    }

    std::multiset<std::string> received(const installer_test::FakeLogService &service) const {
        std::multiset<std::string> values;
        for (const auto &log : service.acceptedLogs()) values.insert(log.contents.at(0).second);
        return values;
    }

    std::filesystem::path dir_;
};

TEST_F(SpoolTest, EventsKeptAtQuitArriveOnceAtTheNextStartBeforeNewOnes) {
    quitWhileTheServiceIsDown(5);

    installer_test::FakeLogService service(kAccessId, kAccessKey);
    SendRecorder recorder;
    log_producer *producer = start(service.port(), recorder);
    ASSERT_NE(producer, nullptr);
    EXPECT_FALSE(std::filesystem::exists(spool())) << "taken up at start";
    ASSERT_TRUE(service.waitForAcceptedLogs(5, 10s));
    ASSERT_EQ(addPair(get_log_producer_client(producer, nullptr), "n", "new", 1), LOG_PRODUCER_OK);
    ASSERT_TRUE(service.waitForAcceptedLogs(6, 10s));
    destroy_log_producer(producer);

    EXPECT_EQ(received(service), (std::multiset<std::string>{"0", "1", "2", "3", "4", "new"}));
    EXPECT_EQ(service.acceptedLogs().back().contents.at(0).second, "new");
    EXPECT_FALSE(std::filesystem::exists(spool())) << "nothing left to keep";
}

TEST_F(SpoolTest, TheSpoolIsBoundedAndKeepsTheNewestBatches) {
    // A one-log batch takes about a hundred bytes of spool: 600 hold some of
    // the eight, not all.
    quitWhileTheServiceIsDown(8, 600);
    EXPECT_LE(std::filesystem::file_size(spool()), 600u + 8u);

    installer_test::FakeLogService service(kAccessId, kAccessKey);
    SendRecorder recorder;
    log_producer *producer = start(service.port(), recorder);
    ASSERT_TRUE(service.waitForAcceptedLogs(1, 10s));
    std::this_thread::sleep_for(300ms);  // the rest of the spool comes at once
    destroy_log_producer(producer);
    auto values = received(service);
    ASSERT_GE(values.size(), 1u);
    ASSERT_LT(values.size(), 8u);
    std::multiset<std::string> newest;
    for (int i = 8 - static_cast<int>(values.size()); i < 8; ++i) newest.insert(std::to_string(i));
    EXPECT_EQ(values, newest) << "the oldest batches go first";
}

TEST_F(SpoolTest, ADamagedOrForeignSpoolIsDroppedAndTheStartGoesOn) {
    struct Case {
        const char *name;
        std::function<void(const std::filesystem::path &)> damage;
    };
    const std::vector<Case> cases = {
        {"truncated", [](const std::filesystem::path &p) {
             std::filesystem::resize_file(p, std::filesystem::file_size(p) - 7);
         }},
        {"a flipped byte", [](const std::filesystem::path &p) {
             std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(-3, std::ios::end);
             f.put('\x5a');
         }},
        {"foreign", [](const std::filesystem::path &p) { std::ofstream(p, std::ios::trunc) << "{\"not\":\"ours\"}"; }},
        {"empty", [](const std::filesystem::path &p) { std::ofstream(p, std::ios::trunc); }},
        {"too large", [](const std::filesystem::path &p) { std::filesystem::resize_file(p, 64ull << 20); }},
        {"a FIFO", [](const std::filesystem::path &p) {
             std::filesystem::remove(p);
             ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
         }},
        {"a link to a good spool", [](const std::filesystem::path &p) {
             std::filesystem::path elsewhere = p.parent_path().parent_path() / "elsewhere.spool";
             std::filesystem::rename(p, elsewhere);
             std::filesystem::create_symlink(elsewhere, p);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quitWhileTheServiceIsDown(2);
        c.damage(spool());

        installer_test::FakeLogService service(kAccessId, kAccessKey);
        SendRecorder recorder;
        auto begin = std::chrono::steady_clock::now();
        log_producer *producer = start(service.port(), recorder);
        ASSERT_NE(producer, nullptr);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
        EXPECT_FALSE(std::filesystem::exists(spool()));
        ASSERT_EQ(addPair(get_log_producer_client(producer, nullptr), "n", "after", 1), LOG_PRODUCER_OK);
        ASSERT_TRUE(service.waitForAcceptedLogs(1, 10s));
        destroy_log_producer(producer);
        EXPECT_EQ(received(service), (std::multiset<std::string>{"after"}));
    }
}

TEST_F(SpoolTest, TheSpoolAndTheDirectoryMadeForItArePrivate) {
    const mode_t umask = ::umask(022);  // what a user's session has
    quitWhileTheServiceIsDown(1);
    ::umask(umask);
    struct stat file, dir;
    ASSERT_EQ(::stat(spool().c_str(), &file), 0);
    ASSERT_EQ(::stat(spool().parent_path().c_str(), &dir), 0);
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(dir.st_mode & 07777, 0700u);
}

}  // namespace
