// Shared pieces of the log-producer tests: a controllable clock, a recorder
// for send-done callbacks and a producer wired to a FakeLogService.
#ifndef TESTS_LOGPRODUCER_PRODUCER_HARNESS_H
#define TESTS_LOGPRODUCER_PRODUCER_HARNESS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logproducer/log_api.h"
#include "logproducer/log_producer_client.h"
#include "support/fake_log_service.h"

namespace lp_test {

inline constexpr const char *kAccessId = "test-access-id";
inline constexpr const char *kAccessKey = "test-access-key-secret";

// Process-wide fake clocks; a test sets them and resets them when done.
struct FakeClock {
    static std::atomic<uint32_t> local;   // 0: real time() for the local clock
    static std::atomic<uint32_t> server;  // 0: default LOG_GET_TIME

    static uint32_t localNow() { return local.load(); }
    static uint32_t serverNow() { return server.load(); }

    static void useLocal(uint32_t t) {
        local = t;
        log_set_local_time_function(&FakeClock::localNow);
    }
    static void useServer(uint32_t t) {
        server = t;
        log_set_get_time_function(&FakeClock::serverNow);
    }
    static void reset() {
        log_set_local_time_function(nullptr);
        log_set_get_time_function(nullptr);
        log_set_local_server_real_time(0);
        local = 0;
        server = 0;
    }
};
inline std::atomic<uint32_t> FakeClock::local{0};
inline std::atomic<uint32_t> FakeClock::server{0};

struct SendRecord {
    log_producer_result result;
    size_t rawBytes;
    size_t compressedBytes;
    std::string requestId;
    std::string message;
    std::chrono::steady_clock::time_point at;
};

class SendRecorder {
public:
    static void callback(const char *, log_producer_result result, size_t logBytes, size_t compressedBytes,
                         const char *reqId, const char *message, const unsigned char *, void *user) {
        auto *self = static_cast<SendRecorder *>(user);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->records_.push_back({result, logBytes, compressedBytes, reqId ? reqId : "", message ? message : "",
                                  std::chrono::steady_clock::now()});
        self->cv_.notify_all();
    }

    std::vector<SendRecord> records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    std::vector<log_producer_result> results() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<log_producer_result> out;
        for (const auto &r : records_) out.push_back(r.result);
        return out;
    }
    size_t count(log_producer_result code) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto &r : records_) n += r.result == code;
        return n;
    }
    bool waitFor(log_producer_result code, size_t n, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] {
            size_t c = 0;
            for (const auto &r : records_) c += r.result == code;
            return c >= n;
        });
    }
    bool waitForCount(size_t n, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return records_.size() >= n; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<SendRecord> records_;
};

// Polls pred until it holds or the deadline passes (for state that has no
// notification of its own, such as the manager's byte count).
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A config aimed at http://project.localhost:port with the test credentials.
inline log_producer_config *makeConfig(int port, int sendThreads = 1) {
    log_producer_config *config = create_log_producer_config();
    std::string endpoint = "http://localhost:" + std::to_string(port);
    log_producer_config_set_endpoint(config, endpoint.c_str());
    log_producer_config_set_project(config, "project");
    log_producer_config_set_logstore(config, "events");
    log_producer_config_set_access_id(config, kAccessId);
    log_producer_config_set_access_key(config, kAccessKey);
    log_producer_config_set_send_thread_count(config, sendThreads);
    log_producer_config_set_connect_timeout_sec(config, 2);
    log_producer_config_set_send_timeout_sec(config, 2);
    return config;
}

inline log_producer_result addPair(log_producer_client *client, const std::string &key, const std::string &value,
                                   int flush = 0) {
    char *keys[] = {const_cast<char *>(key.data())};
    char *values[] = {const_cast<char *>(value.data())};
    size_t keyLens[] = {key.size()};
    size_t valueLens[] = {value.size()};
    return log_producer_client_add_log_with_len(client, 1, keys, keyLens, values, valueLens, flush);
}

}  // namespace lp_test

#endif
