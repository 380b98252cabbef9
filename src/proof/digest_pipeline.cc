#include "proof/digest_pipeline.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace installer {
namespace {

std::vector<DigestKinds> oneKindEach(DigestKinds kinds) {
  std::vector<DigestKinds> each;
  if (kinds.md5) each.push_back({.md5 = true, .sha256 = false, .signature = false});
  if (kinds.sha256) each.push_back({.md5 = false, .sha256 = true, .signature = false});
  if (kinds.signature) each.push_back({.md5 = false, .sha256 = false, .signature = true});
  return each;
}

}  // namespace

DigestPipeline::DigestPipeline(DigestKinds kinds) : kinds_(kinds) {
  for (DigestKinds one : oneKindEach(kinds)) digesters_.emplace_back(one);
  next_.assign(digesters_.size(), 0);
  try {
    for (std::size_t i = 0; i < digesters_.size(); ++i) {
      workers_.emplace_back([this, i] { hash(i); });
    }
  } catch (...) {
    abandon();
    throw;
  }
}

DigestPipeline::~DigestPipeline() { abandon(); }

void DigestPipeline::abandon() {
  {
    std::lock_guard lock(mu_);
    abandoned_ = true;
  }
  published_.notify_all();
  released_.notify_all();
  joinPrefix();
  for (auto& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

void DigestPipeline::joinPrefix() {
  if (prefix_.joinable()) prefix_.join();
}

void DigestPipeline::hash(std::size_t worker) {
  // Named for profilers and the benchmarks' per-thread CPU figures.
  const DigestKinds kind = oneKindEach(kinds_)[worker];
  ::pthread_setname_np(::pthread_self(), kind.md5 ? "digest-md5" : kind.sha256 ? "digest-sha256" : "digest-prehash");
  for (;;) {
    Buffer* buffer = nullptr;
    {
      std::unique_lock lock(mu_);
      published_.wait(lock, [&] {
        return abandoned_ || closed_ || next_[worker] < queueBase_ + queue_.size();
      });
      if (abandoned_ || next_[worker] >= queueBase_ + queue_.size()) return;
      buffer = queue_[next_[worker] - queueBase_];
    }
    digesters_[worker].update(buffer->bytes.get(), buffer->size);
    bool freed = false;
    {
      std::lock_guard lock(mu_);
      ++next_[worker];
      // A buffer goes back to the pool once the slowest digest is past it.
      const std::uint64_t slowest = *std::min_element(next_.begin(), next_.end());
      while (!queue_.empty() && queueBase_ < slowest) {
        free_.push_back(queue_.front());
        queue_.pop_front();
        ++queueBase_;
        freed = true;
      }
    }
    if (freed) released_.notify_all();
  }
}

DigestPipeline::Buffer* DigestPipeline::acquire() {
  constexpr std::size_t kBuffers = kMaxInFlight / kBufferSize;
  std::unique_lock lock(mu_);
  released_.wait(lock, [&] { return abandoned_ || !free_.empty() || buffers_.size() < kBuffers; });
  if (abandoned_) return nullptr;
  Buffer* buffer;
  if (!free_.empty()) {
    buffer = free_.back();
    free_.pop_back();
  } else {
    auto fresh = std::make_unique<Buffer>();
    fresh->bytes = std::make_unique_for_overwrite<unsigned char[]>(kBufferSize);
    buffer = fresh.get();
    buffers_.push_back(std::move(fresh));
  }
  buffer->size = 0;
  return buffer;
}

void DigestPipeline::publish(Buffer* buffer) {
  {
    std::lock_guard lock(mu_);
    if (workers_.empty()) {
      free_.push_back(buffer);
      return;
    }
    queue_.push_back(buffer);
  }
  published_.notify_all();
}

void DigestPipeline::feedFilePrefix(const std::filesystem::path& file, std::int64_t length) {
  prefix_ = std::thread([this, file, length] {
    ::pthread_setname_np(::pthread_self(), "digest-prefix");
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      prefixFailed_.store(true);
      return;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::int64_t left = length;
    while (left > 0) {
      if (!filling_ && !(filling_ = acquire())) break;
      auto want = static_cast<std::size_t>(
          std::min<std::int64_t>(left, static_cast<std::int64_t>(kBufferSize - filling_->size)));
      ssize_t n = ::read(fd, filling_->bytes.get() + filling_->size, want);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      commit(static_cast<std::size_t>(n));
      left -= n;
    }
    if (left > 0) prefixFailed_.store(true);
    ::close(fd);
  });
}

std::span<unsigned char> DigestPipeline::space() {
  joinPrefix();
  if (!filling_) filling_ = acquire();
  if (!filling_) return {};
  return {filling_->bytes.get() + filling_->size, kBufferSize - filling_->size};
}

void DigestPipeline::commit(std::size_t count) {
  filling_->size += count;
  size_.fetch_add(static_cast<std::int64_t>(count), std::memory_order_relaxed);
  if (filling_->size == kBufferSize) {
    publish(filling_);
    filling_ = nullptr;
  }
}

void DigestPipeline::update(const void* data, std::size_t size) {
  joinPrefix();
  if (workers_.empty()) {
    size_.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
    return;
  }
  auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    auto room = space();
    if (room.empty()) return;
    std::size_t n = std::min(size, room.size());
    std::memcpy(room.data(), bytes, n);
    commit(n);
    bytes += n;
    size -= n;
  }
}

std::int64_t DigestPipeline::size() const { return size_.load(std::memory_order_relaxed); }

std::optional<PackageDigests> DigestPipeline::finish() {
  joinPrefix();
  if (filling_) {
    if (filling_->size > 0) {
      publish(filling_);
    } else {
      std::lock_guard lock(mu_);
      free_.push_back(filling_);
    }
    filling_ = nullptr;
  }
  {
    std::lock_guard lock(mu_);
    closed_ = true;
  }
  published_.notify_all();
  for (auto& worker : workers_) worker.join();

  PackageDigests digests;
  digests.size = size();
  for (auto& digester : digesters_) {
    PackageDigests one = digester.finish();
    if (one.md5) digests.md5 = std::move(one.md5);
    if (one.sha256) digests.sha256 = std::move(one.sha256);
    if (one.prehash) digests.prehash = std::move(one.prehash);
  }
  if (prefixFailed_.load()) return std::nullopt;
  return digests;
}

}  // namespace installer
