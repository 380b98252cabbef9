// A fake of the cloud log service's upload API on 127.0.0.1, for tests.
//
// It checks every upload the way the service does (header set and values,
// Content-MD5, x-log-bodyrawsize, the HMAC-SHA1 signature recomputed with
// OpenSSL from the documented string to sign), decompresses the LZ4 block,
// decodes the log group with its own protobuf reader and records what it
// received. Replies can be scripted per request. A request that fails a check
// is answered 400 (401 for a bad signature) and noted in violations().
//
// Thread safety: every public member may be called from any thread while the
// server runs on its own threads. Clients reach it as
// http://<project>.localhost:<port>/ (curl resolves *.localhost to loopback).
#ifndef TESTS_SUPPORT_FAKE_LOG_SERVICE_H
#define TESTS_SUPPORT_FAKE_LOG_SERVICE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace installer_test {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

struct DecodedLog {
    uint32_t time = 0;
    KeyValues contents;
};

struct DecodedGroup {
    std::vector<DecodedLog> logs;
    std::optional<std::string> topic;
    std::optional<std::string> source;
    KeyValues tags;

    std::string tag(const std::string &key) const;  // empty when missing
};

// Decodes serialised log-group bytes; absent on anything malformed or on a
// field the log service does not define.
std::optional<DecodedGroup> decodeLogGroup(std::string_view bytes);

// LZ4 block decompression into exactly rawSize bytes; absent on failure.
std::optional<std::string> lz4Decompress(std::string_view compressed, size_t rawSize);

// OpenSSL-based helpers, independent of the library under test.
std::string md5HexUpper(std::string_view data);
std::string hmacSha1Base64(std::string_view key, std::string_view text);

struct ScriptedReply {
    int status = 200;
    std::string body;
    bool logHeaders = true;                  // send "x-log-requestid"
    std::optional<std::string> logTime;      // value of "x-log-time"
    std::chrono::milliseconds delay{0};      // before answering
    bool dropConnection = false;             // close mid-response after the headers
};

struct ReceivedRequest {
    std::string logstore;
    std::map<std::string, std::string> headers;
    DecodedGroup group;
    int answeredStatus = 0;  // 0: the connection was cut
};

// A refused upload: why, and whom it claimed to come from.
struct Rejection {
    std::string why;
    std::string logstore;
    std::string accessKeyId;  // from the Authorization header; "" without one

    // The log producer's one-shot clock check: a placeholder request (key
    // id and logstore "clocksynchronizing") sent to learn the service's
    // time from the answer. Refused by design, not a fault.
    bool isClockCheck() const;
};

class FakeLogService {
public:
    // Listens on `port` (0: any free port) of 127.0.0.1; throws
    // std::runtime_error when it cannot.
    FakeLogService(std::string accessKeyId, std::string accessKey, int port = 0);
    ~FakeLogService();  // stops the server, cutting short any scripted delay
    FakeLogService(const FakeLogService &) = delete;
    FakeLogService &operator=(const FakeLogService &) = delete;

    int port() const { return port_; }
    std::string endpoint() const;  // "localhost:<port>"

    void setSecurityToken(std::optional<std::string> token);
    void setDefaultReply(ScriptedReply reply);
    void script(ScriptedReply reply);  // consumed by the next valid request

    // Requests that passed every check, in arrival order.
    std::vector<ReceivedRequest> requests() const;
    // All logs of requests answered 2xx, in arrival order.
    std::vector<DecodedLog> acceptedLogs() const;
    std::vector<std::string> violations() const;  // the whys of rejections()
    std::vector<Rejection> rejections() const;
    size_t requestCount() const;  // every request, valid or not

    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    bool waitForAcceptedLogs(size_t count, std::chrono::milliseconds timeout) const;

private:
    void handle(const httplib::Request &request, httplib::Response &response);
    std::optional<std::string> check(const httplib::Request &request, ReceivedRequest &out, bool &badSignature);

    std::string accessKeyId_;
    std::string accessKey_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::optional<std::string> token_;
    ScriptedReply defaultReply_;
    std::deque<ScriptedReply> script_;
    std::vector<ReceivedRequest> requests_;
    std::vector<Rejection> rejections_;
    size_t requestCount_ = 0;
};

// Accepts connections on 127.0.0.1 and closes them without a byte: a service
// that drops every connection.
class DroppingListener {
public:
    DroppingListener();
    ~DroppingListener();
    int port() const { return port_; }
    int accepted() const;

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    int accepted_ = 0;
    bool stopping_ = false;
};

// A loopback port with nothing listening on it (bound, then closed).
int unusedLoopbackPort();

}  // namespace installer_test

#endif
