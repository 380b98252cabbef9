// Fuzzes the log service's answer as the sender takes it in: the first two
// bytes are the HTTP status, then header lines up to an empty line, then
// the body in pieces of the size the next byte says. Everything goes
// through the sender's callbacks, its classification and the
// end-of-attempt handling (backoff, "x-log-time" clock correction).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>

#include "logproducer/log_api.h"
#include "logproducer/log_builder.h"
#include "logproducer/log_producer_config.h"
#include "logproducer/log_producer_sender.h"
#include "logproducer/sds.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lp_log_level = 0;
  if (size < 3) return 0;
  post_log_result result{};
  result.statusCode = static_cast<int16_t>(data[0] | (data[1] << 8));
  std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);

  std::size_t at = 0;
  while (at < rest.size()) {
    std::size_t end = rest.find('\n', at);
    if (end == std::string::npos) end = rest.size();
    std::string line = rest.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line == "\r") break;
    line += "\r\n";
    check(log_producer_header_callback(line.data(), 1, line.size(), &result) == line.size());
  }
  while (at < rest.size()) {
    std::size_t piece = 1 + static_cast<unsigned char>(rest[at]) * 97;
    ++at;
    piece = std::min(piece, rest.size() - at);
    std::string chunk = rest.substr(at, piece);
    check(log_producer_body_callback(chunk.data(), 1, chunk.size(), &result) == chunk.size());
    at += piece;
  }
  check(result.errorMessage == nullptr || sdslen(result.errorMessage) <= 64 * 1024);

  int32_t cls = LogStatusToResult(&result);
  check(cls >= LOG_SEND_OK && cls <= LOG_SEND_TIME_ERROR);

  log_producer_config* config = create_log_producer_config();
  log_producer_config_set_project(config, "project");
  log_producer_config_set_logstore(config, "store");
  static const char kBatch[] = "batch";
  log_producer_send_param param{config, nullptr, create_lz4_log_buf(kBatch, sizeof kBatch, sizeof kBatch),
                                LOG_PRODUCER_SEND_MAGIC_NUM, 0};
  log_producer_send_error error{};
  int32_t wait = log_producer_on_send_done(&param, &result, &error);
  check(wait >= 0 && wait <= 4000);
  free_lz4_log_buf(param.log_buf);
  destroy_log_producer_config(config);
  sdsfree(result.errorMessage);
  sdsfree(result.requestID);
  return 0;
}
