#include "publish/demo_service.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "publish/local_ca.h"
#include "proof/integrity.h"
#include "proof/package_signature.h"

namespace installer::demo {

namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string httpDate(std::time_t when) {
  char buffer[64];
  std::tm tm{};
  gmtime_r(&when, &tm);
  std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return buffer;
}

std::optional<std::int64_t> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

// One "bytes=first-last" range against a file of `size` bytes: the
// inclusive [first, last], nothing when unsatisfiable, or `whole` when the
// header is not a single byte range we understand (then the file is sent
// whole, as a server may).
struct ByteRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
};
enum class RangeVerdict { whole, partial, unsatisfiable };

RangeVerdict parseRange(const std::string& header, std::int64_t size, ByteRange* range) {
  const std::string prefix = "bytes=";
  if (header.compare(0, prefix.size(), prefix) != 0) return RangeVerdict::whole;
  std::string ranges = header.substr(prefix.size());
  if (ranges.find(',') != std::string::npos) return RangeVerdict::whole;
  auto dash = ranges.find('-');
  if (dash == std::string::npos) return RangeVerdict::whole;
  std::string a = ranges.substr(0, dash), b = ranges.substr(dash + 1);
  if (a.empty()) {  // suffix: the last N bytes
    auto n = parseNumber(b);
    if (!n) return RangeVerdict::whole;
    if (*n == 0 || size == 0) return RangeVerdict::unsatisfiable;
    range->first = std::max<std::int64_t>(0, size - *n);
    range->last = size - 1;
    return RangeVerdict::partial;
  }
  auto first = parseNumber(a);
  if (!first) return RangeVerdict::whole;
  std::int64_t last = size - 1;
  if (!b.empty()) {
    auto parsed = parseNumber(b);
    if (!parsed || *parsed < *first) return RangeVerdict::whole;
    last = std::min(*parsed, size - 1);
  }
  if (*first >= size) return RangeVerdict::unsatisfiable;
  range->first = *first;
  range->last = last;
  return RangeVerdict::partial;
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return "";
}

DemoService::DemoService(DemoServiceOptions options) : options_(std::move(options)) {}

DemoService::~DemoService() {
  stop();
  if (ownsCertificateDirectory_) {
    std::error_code ignored;
    std::filesystem::remove_all(certificateDirectory_, ignored);
  }
}

void DemoService::handle(const std::string& method, const std::string& pattern,
                         Handler handler) {
  routes_.push_back({method, pattern, std::move(handler)});
}

std::string DemoService::baseURL() const {
  std::string host = options_.host.find(':') != std::string::npos ? "[" + options_.host + "]"
                                                                 : options_.host;
  return "https://" + host + ":" + std::to_string(port_);
}

std::string DemoService::url(const std::string& path) const { return baseURL() + path; }

void DemoService::setAnswer(CheckAnswer answer) {
  std::lock_guard<std::mutex> hold(mu_);
  answer_ = std::move(answer);
}

void DemoService::clearAnswer() {
  std::lock_guard<std::mutex> hold(mu_);
  answer_.reset();
}

std::vector<RecordedRequest> DemoService::checkRequests() const {
  std::lock_guard<std::mutex> hold(mu_);
  return checks_;
}

std::vector<RecordedRequest> DemoService::packageRequests() const {
  std::lock_guard<std::mutex> hold(mu_);
  return packages_;
}

std::size_t DemoService::checkRequestCount() const {
  std::lock_guard<std::mutex> hold(mu_);
  return checks_.size();
}

bool DemoService::start(std::string* error) {
  auto failed = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (server_) return failed("already started");

  LocalCertificates certs;
  try {
    certs = makeLocalCertificates();
    certificateDirectory_ = options_.certificateDirectory;
    if (certificateDirectory_.empty()) {
      std::string pattern =
          (std::filesystem::temp_directory_path() / "demo-service-XXXXXX").string();
      if (!::mkdtemp(pattern.data())) return failed("cannot create a certificate directory");
      certificateDirectory_ = pattern;
      ownsCertificateDirectory_ = true;
    }
    writeCertificates(certs, certificateDirectory_);
  } catch (const std::exception& e) {
    return failed(e.what());
  }

  server_ = std::make_unique<httplib::SSLServer>(certs.serverCert.get(), certs.serverKey.get());
  if (!server_->is_valid()) {
    server_.reset();
    return failed("TLS server could not be set up");
  }
  // Let a client keep its connection for a whole session of checks.
  server_->set_keep_alive_max_count(1000);
  // The library writes a response's header and body separately; with Nagle
  // on, the body waits for the client's delayed ACK (about 40 ms a round).
  server_->set_tcp_nodelay(true);
  installRoutes();
  port_ = options_.port == 0 ? server_->bind_to_any_port(options_.host)
                             : (server_->bind_to_port(options_.host, options_.port)
                                    ? options_.port
                                    : -1);
  if (port_ <= 0) {
    server_.reset();
    return failed("cannot listen on " + options_.host + ":" + std::to_string(options_.port));
  }
  thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
  // stop() is a no-op until the loop runs, so do not return before it does.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server_->is_running()) {
    stop();
    return failed("server loop did not start");
  }
  return true;
}

void DemoService::stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

void DemoService::installRoutes() {
  for (const auto& route : routes_) {
    if (route.method == "GET") {
      server_->Get(route.pattern, route.handler);
    } else if (route.method == "POST") {
      server_->Post(route.pattern, route.handler);
    } else if (route.method == "PUT") {
      server_->Put(route.pattern, route.handler);
    } else if (route.method == "DELETE") {
      server_->Delete(route.pattern, route.handler);
    }
  }
  server_->Post(options_.checkUpdatePath,
                [this](const httplib::Request& q, httplib::Response& r) { answerCheck(q, r); });
  server_->Get("/packages/(.+)",
               [this](const httplib::Request& q, httplib::Response& r) { servePackage(q, r); });
}

void DemoService::answerCheck(const httplib::Request& request, httplib::Response& response) {
  RecordedRequest record{request.method, request.path, {}, request.body};
  for (const auto& [name, value] : request.headers) record.headers.emplace(name, value);

  std::optional<CheckAnswer> answer;
  {
    std::lock_guard<std::mutex> hold(mu_);
    checks_.push_back(std::move(record));
    answer = answer_;
  }
  if (!answer && options_.answerFile) {
    if (auto text = readFile(*options_.answerFile)) answer = CheckAnswer{200, *text};
  }
  if (!answer) {
    response.status = 503;
    response.set_content("{\"status\":1,\"reason\":\"no answer configured\"}",
                         "application/json");
    return;
  }
  replaceAll(answer->body, "{{base_url}}", baseURL());
  if (options_.signingSecretKey) answer->body = withPackageProof(answer->body);
  response.status = answer->status;
  if (!answer->body.empty()) response.set_content(answer->body, "application/json");
}

std::string DemoService::withPackageProof(const std::string& body) {
  auto root = nlohmann::json::parse(body, nullptr, false);
  if (root.is_discarded() || !root.is_object()) return body;
  auto data = root.find("data");
  if (data == root.end() || !data->is_object()) return body;
  auto link = data->find("app_url");
  if (link == data->end() || !link->is_string()) return body;
  const std::string prefix = url("/packages/");
  const std::string text = link->get<std::string>();
  if (options_.packageRoot.empty() || text.rfind(prefix, 0) != 0) return body;
  std::filesystem::path relative(text.substr(prefix.size()));
  for (const auto& part : relative) {
    if (part == ".." || part == "." || relative.is_absolute()) return body;
  }
  const std::filesystem::path file = options_.packageRoot / relative;
  struct stat st{};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return body;
  const std::string stamp = std::to_string(st.st_size) + "/" + std::to_string(st.st_mtim.tv_sec) +
                            "." + std::to_string(st.st_mtim.tv_nsec);

  Proof proof;
  {
    std::lock_guard<std::mutex> hold(mu_);
    auto it = proofs_.find(file.string());
    if (it != proofs_.end() && it->second.stamp == stamp) proof = it->second;
  }
  if (proof.stamp.empty()) {
    try {
      proof.sha256 = *digestFile(file, {.md5 = false, .sha256 = true, .signature = false}).sha256;
      proof.signature = base64Encode(signPackageFile(file, *options_.signingSecretKey));
      proof.stamp = stamp;
    } catch (const std::exception&) {
      return body;
    }
    std::lock_guard<std::mutex> hold(mu_);
    proofs_[file.string()] = proof;
  }
  if (!data->contains("sha256")) (*data)["sha256"] = proof.sha256;
  if (!data->contains("signature")) (*data)["signature"] = proof.signature;
  return root.dump();
}

void DemoService::servePackage(const httplib::Request& request, httplib::Response& response) {
  {
    RecordedRequest record{request.method, request.path, {}, {}};
    for (const auto& [name, value] : request.headers) record.headers.emplace(name, value);
    std::lock_guard<std::mutex> hold(mu_);
    packages_.push_back(std::move(record));
  }
  if (options_.packageRoot.empty()) {
    response.status = 404;
    return;
  }
  // Only plain names below the root: no "..", no absolute paths.
  std::filesystem::path relative(request.matches[1].str());
  for (const auto& part : relative) {
    if (part == ".." || part == "." || relative.is_absolute()) {
      response.status = 404;
      return;
    }
  }
  std::filesystem::path file = options_.packageRoot / relative;
  struct stat st{};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    response.status = 404;
    return;
  }
  const std::int64_t size = st.st_size;
  const auto mtimeNs =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  char tag[64];
  std::snprintf(tag, sizeof tag, "\"%llx-%llx\"", static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(mtimeNs));
  const std::string etag = tag;
  const std::string lastModified = httpDate(st.st_mtim.tv_sec);

  response.set_header("ETag", etag);
  response.set_header("Last-Modified", lastModified);
  response.set_header("Accept-Ranges", "bytes");

  // We do ranges ourselves (If-Range decides whether one applies at all),
  // so keep the server library from slicing the body a second time.
  const_cast<httplib::Request&>(request).ranges.clear();

  ByteRange range{0, size - 1};
  bool partial = false;
  if (request.has_header("Range")) {
    bool rangeApplies = true;
    if (request.has_header("If-Range")) {
      std::string condition = request.get_header_value("If-Range");
      rangeApplies = condition == etag || condition == lastModified;
    }
    if (rangeApplies) {
      switch (parseRange(request.get_header_value("Range"), size, &range)) {
        case RangeVerdict::partial:
          partial = true;
          break;
        case RangeVerdict::unsatisfiable:
          response.status = 416;
          response.set_header("Content-Range", "bytes */" + std::to_string(size));
          return;
        case RangeVerdict::whole:
          range = {0, size - 1};
          break;
      }
    }
  }

  const std::int64_t length = size == 0 ? 0 : range.last - range.first + 1;
  response.status = partial ? 206 : 200;
  if (partial) {
    response.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                             std::to_string(range.last) + "/" +
                                             std::to_string(size));
  }
  // Pages (the demo's carousel) are served as pages; everything else as bytes.
  const char* type =
      file.extension() == ".html" ? "text/html; charset=utf-8" : "application/octet-stream";
  if (length == 0) {
    response.set_content("", type);
    return;
  }

  auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
  const std::int64_t rate = options_.throttleBytesPerSecond;
  const auto started = std::make_shared<std::chrono::steady_clock::time_point>();
  const std::int64_t first = range.first;
  response.set_content_provider(
      static_cast<std::size_t>(length), type,
      [this, in, rate, started, first](std::size_t offset, std::size_t remaining,
                                       httplib::DataSink& sink) {
        if (offset == 0) *started = std::chrono::steady_clock::now();
        std::size_t chunk = 64 * 1024;
        if (rate > 0) {
          // Pace by the total sent so far, so rounding never accumulates.
          chunk = static_cast<std::size_t>(std::clamp<std::int64_t>(rate / 20, 1, 64 * 1024));
          auto due = *started + std::chrono::microseconds(static_cast<std::int64_t>(
                                    static_cast<double>(offset) * 1e6 / static_cast<double>(rate)));
          std::this_thread::sleep_until(due);
        }
        chunk = std::min(chunk, remaining);
        std::string buffer(chunk, '\0');
        in->seekg(first + static_cast<std::int64_t>(offset));
        in->read(buffer.data(), static_cast<std::streamsize>(chunk));
        if (in->gcount() != static_cast<std::streamsize>(chunk)) return false;
        if (!sink.write(buffer.data(), chunk)) return false;
        packageBytesSent_ += static_cast<std::int64_t>(chunk);
        return true;
      });
}

std::optional<DemoServiceOptions> parseDemoArguments(const std::vector<std::string>& arguments,
                                                     std::string* error) {
  DemoServiceOptions options;
  auto bad = [&](const std::string& why) -> std::optional<DemoServiceOptions> {
    if (error) *error = why;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& flag = arguments[i];
    if (flag == "--help" || flag == "-h") return bad("help");
    if (i + 1 >= arguments.size()) return bad("missing value for " + flag);
    const std::string& value = arguments[++i];
    if (flag == "--port") {
      auto port = parseNumber(value);
      if (!port || *port > 65535) return bad("bad port: " + value);
      options.port = static_cast<int>(*port);
    } else if (flag == "--root") {
      options.packageRoot = value;
    } else if (flag == "--answer") {
      options.answerFile = value;
    } else if (flag == "--throttle") {
      auto rate = parseNumber(value);
      if (!rate) return bad("bad rate: " + value);
      options.throttleBytesPerSecond = *rate;
    } else if (flag == "--ca-out") {
      options.certificateDirectory = value;
    } else if (flag == "--signing-key") {
      options.signingSecretKey = readSigningSecretKey(value);
      if (!options.signingSecretKey) return bad("not a signing key file: " + value);
    } else {
      return bad("unknown option: " + flag);
    }
  }
  return options;
}

}  // namespace installer::demo
