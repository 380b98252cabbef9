// The digests of one byte stream, computed off the thread that produces
// the bytes: one hashing thread per digest asked for (MD5, SHA-256, the
// Ed25519ph prehash), each fed the stream in order from pooled buffers.
//
// One producer at a time hands bytes in, copying them with `update` or
// filling buffers in place with `space` and `commit`. A full buffer is
// published to every hashing thread at once, so a thread wakes once per
// buffer, never per byte. At most `kMaxInFlight` bytes wait for the slowest
// digest; beyond that the producer blocks until that digest frees a buffer.
// The buffers are allocated as they are first needed and reused after.
//
// `finish` waits for every digest and gives exactly what a PackageDigester
// fed the same bytes gives. Destroying a pipeline that has not finished
// abandons it (a cancel, a failure): a producer blocked in it returns at
// once, and every thread the pipeline started is joined before the
// destructor returns. Not copyable; destroy it from a thread that is not
// one of its own (it never calls out).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "proof/integrity.h"

namespace installer {

class DigestPipeline {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{256} << 10;
  static constexpr std::size_t kMaxInFlight = std::size_t{8} << 20;

  // Starts one hashing thread per digest in `kinds` (none when it asks for
  // none: then only the size is counted). Throws std::system_error when a
  // thread cannot be started.
  explicit DigestPipeline(DigestKinds kinds);
  ~DigestPipeline();
  DigestPipeline(const DigestPipeline&) = delete;
  DigestPipeline& operator=(const DigestPipeline&) = delete;

  // Reads the first `length` bytes of `file` into the stream on a thread
  // of its own, so that they are hashed while the caller goes on (a
  // download taking up its partial file). Call it before anything else is
  // fed; the producer's first `update`, `space` or `finish` waits until
  // the whole prefix is in. A file that is shorter or unreadable spoils
  // the result (see `finish`).
  void feedFilePrefix(const std::filesystem::path& file, std::int64_t length);

  // Appends a copy of the bytes; blocks while the buffers are all in flight.
  void update(const void* data, std::size_t size);
  // Room at the end of the stream to fill in place (never empty, unless the
  // pipeline is being destroyed); `commit` then appends the first `count`
  // bytes of it.
  std::span<unsigned char> space();
  void commit(std::size_t count);

  // Bytes appended so far by the producer (the prefix counts once read).
  std::int64_t size() const;

  // Ends the stream and waits for every digest. Absent when a prefix could
  // not be read in full. Call once.
  std::optional<PackageDigests> finish();

 private:
  struct Buffer {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0;
  };

  void joinPrefix();
  Buffer* acquire();  // null once abandoned
  void publish(Buffer* buffer);
  void hash(std::size_t worker);
  void abandon();

  DigestKinds kinds_;
  std::vector<PackageDigester> digesters_;  // one per hashing thread, its own

  std::mutex mu_;  // guards the fields up to the threads
  std::condition_variable published_;  // hashing threads wait for buffers
  std::condition_variable released_;   // the producer waits for a free buffer
  std::deque<Buffer*> queue_;          // published, oldest first
  std::uint64_t queueBase_ = 0;        // sequence number of queue_.front()
  std::vector<std::uint64_t> next_;    // per hashing thread: next sequence number
  std::vector<std::unique_ptr<Buffer>> buffers_;
  std::vector<Buffer*> free_;
  bool closed_ = false;
  bool abandoned_ = false;

  // The producer's; handed from the prefix thread to the caller by the join.
  Buffer* filling_ = nullptr;
  std::atomic<std::int64_t> size_{0};
  std::atomic<bool> prefixFailed_{false};

  std::thread prefix_;
  std::vector<std::thread> workers_;
};

}  // namespace installer
