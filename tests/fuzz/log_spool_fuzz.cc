// Fuzzes the reader of the telemetry spool file: whatever the file holds,
// it is either taken whole (each batch within its bounds, of the wire
// format asked for) or refused whole with a reason. Sound batches are then
// made into send buffers as the manager does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "logproducer/log_builder.h"
#include "logproducer/log_producer_manager.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (int32_t compress : {0, 1}) {
    std::vector<log_producer_manager::spooled_batch> batches;
    const char* why = log_spool_parse(text, 4 * 1024 * 1024, compress, &batches);
    if (why != nullptr) {
      check(batches.empty());
      continue;
    }
    std::size_t total = 0;
    for (const auto& batch : batches) {
      check(!batch.data.empty() && batch.raw_length > 0);
      if (compress == 0) check(batch.raw_length == batch.data.size());
      total += batch.data.size();
      lz4_log_buf* buf = create_lz4_log_buf(batch.data.data(), batch.data.size(), batch.raw_length);
      check(buf != nullptr && buf->length == batch.data.size());
      free_lz4_log_buf(buf);
    }
    check(total <= text.size());
  }
  return 0;
}
