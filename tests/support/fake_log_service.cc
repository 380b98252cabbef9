#include "support/fake_log_service.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <lz4.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <stdexcept>

namespace installer_test {

namespace {

// A strict reader of protobuf wire data.
class WireReader {
public:
    explicit WireReader(std::string_view data) : data_(data) {}
    bool done() const { return pos_ >= data_.size(); }

    bool varint(uint64_t &value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (pos_ >= data_.size()) return false;
            auto b = static_cast<uint8_t>(data_[pos_++]);
            value |= static_cast<uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) return true;
        }
        return false;
    }

    bool bytes(std::string_view &out) {
        uint64_t len = 0;
        if (!varint(len) || len > data_.size() - pos_) return false;
        out = data_.substr(pos_, len);
        pos_ += len;
        return true;
    }

    bool key(uint32_t &field, uint32_t &wireType) {
        uint64_t k = 0;
        if (!varint(k)) return false;
        field = static_cast<uint32_t>(k >> 3);
        wireType = static_cast<uint32_t>(k & 7);
        return true;
    }

private:
    std::string_view data_;
    size_t pos_ = 0;
};

bool decodePair(std::string_view bytes, std::pair<std::string, std::string> &out) {
    WireReader r(bytes);
    bool haveKey = false, haveValue = false;
    while (!r.done()) {
        uint32_t field, type;
        std::string_view s;
        if (!r.key(field, type) || type != 2 || !r.bytes(s)) return false;
        if (field == 1) { out.first = std::string(s); haveKey = true; }
        else if (field == 2) { out.second = std::string(s); haveValue = true; }
        else return false;
    }
    return haveKey && haveValue;
}

bool decodeLog(std::string_view bytes, DecodedLog &out) {
    WireReader r(bytes);
    bool haveTime = false;
    while (!r.done()) {
        uint32_t field, type;
        if (!r.key(field, type)) return false;
        if (field == 1 && type == 0) {
            uint64_t t;
            if (!r.varint(t) || t > UINT32_MAX) return false;
            out.time = static_cast<uint32_t>(t);
            haveTime = true;
        } else if (field == 2 && type == 2) {
            std::string_view s;
            std::pair<std::string, std::string> kv;
            if (!r.bytes(s) || !decodePair(s, kv)) return false;
            out.contents.push_back(std::move(kv));
        } else {
            return false;
        }
    }
    return haveTime;
}

std::string lowercase(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool plausibleDate(const std::string &date) {
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    static const std::string days = "MonTueWedThuFriSatSun";
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (date.size() != 29) return false;
    auto digits = [&](size_t at, size_t n) {
        for (size_t i = at; i < at + n; ++i)
            if (!std::isdigit(static_cast<unsigned char>(date[i]))) return false;
        return true;
    };
    size_t day = days.find(date.substr(0, 3));
    size_t month = months.find(date.substr(8, 3));
    return day != std::string::npos && day % 3 == 0 && month != std::string::npos && month % 3 == 0 &&
           date.compare(3, 2, ", ") == 0 && digits(5, 2) && date[7] == ' ' && date[11] == ' ' && digits(12, 4) &&
           date[16] == ' ' && digits(17, 2) && date[19] == ':' && digits(20, 2) && date[22] == ':' &&
           digits(23, 2) && date.compare(25, 4, " GMT") == 0;
}

}  // namespace

std::string DecodedGroup::tag(const std::string &key) const {
    for (const auto &kv : tags)
        if (kv.first == key) return kv.second;
    return {};
}

std::optional<DecodedGroup> decodeLogGroup(std::string_view bytes) {
    DecodedGroup group;
    WireReader r(bytes);
    while (!r.done()) {
        uint32_t field, type;
        std::string_view s;
        if (!r.key(field, type) || type != 2 || !r.bytes(s)) return std::nullopt;
        switch (field) {
            case 1: {
                DecodedLog log;
                if (!decodeLog(s, log)) return std::nullopt;
                group.logs.push_back(std::move(log));
                break;
            }
            case 3: group.topic = std::string(s); break;
            case 4: group.source = std::string(s); break;
            case 6: {
                std::pair<std::string, std::string> kv;
                if (!decodePair(s, kv)) return std::nullopt;
                group.tags.push_back(std::move(kv));
                break;
            }
            default: return std::nullopt;
        }
    }
    return group;
}

std::optional<std::string> lz4Decompress(std::string_view compressed, size_t rawSize) {
    std::string out(rawSize, '\0');
    int n = LZ4_decompress_safe(compressed.data(), out.data(), static_cast<int>(compressed.size()),
                                static_cast<int>(rawSize));
    if (n < 0 || static_cast<size_t>(n) != rawSize) return std::nullopt;
    return out;
}

std::string md5HexUpper(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr);
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0xF];
    }
    return out;
}

std::string hmacSha1Base64(std::string_view key, std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char *>(text.data()),
         text.size(), digest, &len);
    unsigned char b64[64];
    int n = EVP_EncodeBlock(b64, digest, static_cast<int>(len));
    return std::string(reinterpret_cast<char *>(b64), static_cast<size_t>(n));
}

FakeLogService::FakeLogService(std::string accessKeyId, std::string accessKey, int port)
    : accessKeyId_(std::move(accessKeyId)), accessKey_(std::move(accessKey)),
      server_(std::make_unique<httplib::Server>()) {
    server_->Post(R"(/logstores/([^/]+)/shards/lb)",
                  [this](const httplib::Request &req, httplib::Response &res) { handle(req, res); });
    server_->set_read_timeout(5, 0);
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
    } else {
        port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
    }
    if (port_ <= 0) throw std::runtime_error("fake log service: cannot bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // The socket already listens after bind_to_any_port; early connects queue
    // up. A stop() before the server marks itself running would be lost and
    // the destructor would wait forever, so wait for that mark.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

FakeLogService::~FakeLogService() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string FakeLogService::endpoint() const { return "localhost:" + std::to_string(port_); }

void FakeLogService::setSecurityToken(std::optional<std::string> token) {
    std::lock_guard<std::mutex> lock(mutex_);
    token_ = std::move(token);
}

void FakeLogService::setDefaultReply(ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultReply_ = std::move(reply);
}

void FakeLogService::script(ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(reply));
}

std::vector<ReceivedRequest> FakeLogService::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<DecodedLog> FakeLogService::acceptedLogs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DecodedLog> logs;
    for (const auto &r : requests_)
        if (r.answeredStatus >= 200 && r.answeredStatus < 300)
            logs.insert(logs.end(), r.group.logs.begin(), r.group.logs.end());
    return logs;
}

bool Rejection::isClockCheck() const {
    return accessKeyId == "clocksynchronizing" && logstore == "clocksynchronizing";
}

std::vector<std::string> FakeLogService::violations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> whys;
    for (const auto &rejection : rejections_) whys.push_back(rejection.why);
    return whys;
}

std::vector<Rejection> FakeLogService::rejections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rejections_;
}

size_t FakeLogService::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestCount_;
}

bool FakeLogService::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool FakeLogService::waitForAcceptedLogs(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        size_t n = 0;
        for (const auto &r : requests_)
            if (r.answeredStatus >= 200 && r.answeredStatus < 300) n += r.group.logs.size();
        return n >= count;
    });
}

std::optional<std::string> FakeLogService::check(const httplib::Request &req, ReceivedRequest &out,
                                                 bool &badSignature) {
    badSignature = false;
    out.logstore = req.matches[1];
    for (const auto &[name, value] : req.headers) out.headers[lowercase(name)] = value;
    auto header = [&](const char *name) -> std::optional<std::string> {
        auto it = out.headers.find(name);
        if (it == out.headers.end()) return std::nullopt;
        return it->second;
    };
    const char *required[] = {"content-type", "x-log-apiversion", "x-log-signaturemethod", "date", "content-md5",
                              "content-length", "x-log-bodyrawsize", "host", "authorization"};
    for (const char *name : required)
        if (!header(name)) return std::string("missing header ") + name;
    if (*header("content-type") != "application/x-protobuf") return "bad content-type";
    if (*header("x-log-apiversion") != "0.6.0") return "bad api version";
    if (*header("x-log-signaturemethod") != "hmac-sha1") return "bad signature method";
    auto compress = header("x-log-compresstype");
    if (compress && *compress != "lz4") return "bad compress type";
    if (!plausibleDate(*header("date"))) return "bad date " + *header("date");
    if (*header("content-length") != std::to_string(req.body.size())) return "bad content-length";
    if (*header("content-md5") != md5HexUpper(req.body)) return "bad content-md5";
    std::string host = *header("host");
    if (host.find(".localhost:" + std::to_string(port_)) == std::string::npos) return "bad host " + host;
    std::optional<std::string> token;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        token = token_;
    }
    auto sentToken = header("x-acs-security-token");
    if (sentToken != token) return "security token mismatch";

    const std::string rawSize = *header("x-log-bodyrawsize");
    std::string toSign = "POST\n" + *header("content-md5") + "\napplication/x-protobuf\n" + *header("date") + "\n";
    if (sentToken) toSign += "x-acs-security-token:" + *sentToken + "\n";
    toSign += "x-log-apiversion:0.6.0\nx-log-bodyrawsize:" + rawSize + "\n";
    if (compress) toSign += "x-log-compresstype:lz4\n";
    toSign += "x-log-signaturemethod:hmac-sha1\n/logstores/" + out.logstore + "/shards/lb";
    std::string expected = "LOG " + accessKeyId_ + ":" + hmacSha1Base64(accessKey_, toSign);
    if (*header("authorization") != expected) {
        badSignature = true;
        return "signature mismatch";
    }

    size_t raw = 0;
    try {
        raw = std::stoul(rawSize);
    } catch (...) {
        return "bad x-log-bodyrawsize";
    }
    std::string plain = req.body;
    if (compress) {
        auto decompressed = lz4Decompress(req.body, raw);
        if (!decompressed) return "lz4 body does not decompress to x-log-bodyrawsize bytes";
        plain = *decompressed;
    } else if (raw != req.body.size()) {
        return "x-log-bodyrawsize differs from body size";
    }
    auto group = decodeLogGroup(plain);
    if (!group) return "malformed log group";
    out.group = std::move(*group);
    return std::nullopt;
}

void FakeLogService::handle(const httplib::Request &req, httplib::Response &res) {
    ReceivedRequest received;
    bool badSignature = false;
    auto problem = check(req, received, badSignature);
    std::unique_lock<std::mutex> lock(mutex_);
    ++requestCount_;
    if (problem) {
        Rejection rejection{*problem, received.logstore, ""};
        auto authorization = received.headers.find("authorization");
        if (authorization != received.headers.end() && authorization->second.rfind("LOG ", 0) == 0) {
            const std::string &value = authorization->second;
            rejection.accessKeyId = value.substr(4, value.find(':', 4) == std::string::npos
                                                         ? std::string::npos
                                                         : value.find(':', 4) - 4);
        }
        rejections_.push_back(std::move(rejection));
        res.status = badSignature ? 401 : 400;
        res.set_header("x-log-requestid", "fake-rejected");
        if (defaultReply_.logTime) res.set_header("x-log-time", *defaultReply_.logTime);
        res.set_content(badSignature ? R"({"errorCode":"SignatureNotMatch"})" : R"({"errorCode":"PostBodyInvalid"})",
                        "application/json");
        changed_.notify_all();
        return;
    }
    ScriptedReply reply = defaultReply_;
    if (!script_.empty()) {
        reply = std::move(script_.front());
        script_.pop_front();
    }
    if (reply.delay.count() > 0) {
        changed_.wait_for(lock, reply.delay, [&] { return stopping_; });
    }
    received.answeredStatus = reply.dropConnection ? 0 : reply.status;
    requests_.push_back(std::move(received));
    res.status = reply.status;
    if (reply.logHeaders) res.set_header("x-log-requestid", "fake-" + std::to_string(requests_.size()));
    if (reply.logTime) res.set_header("x-log-time", *reply.logTime);
    if (reply.dropConnection) {
        // Promise a body and fail to produce it: the server closes the
        // connection and the client sees a transfer cut short.
        res.set_content_provider(
            1024, "application/json", [](size_t, size_t, httplib::DataSink &) { return false; });
    } else if (!reply.body.empty()) {
        res.set_content(reply.body, "application/json");
    }
    changed_.notify_all();
}

DroppingListener::DroppingListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        throw std::runtime_error("dropping listener: cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) return;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            ::close(c);
            std::lock_guard<std::mutex> lock(mutex_);
            ++accepted_;
        }
    });
}

DroppingListener::~DroppingListener() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    thread_.join();
    ::close(fd_);
}

int DroppingListener::accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

int unusedLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace installer_test
