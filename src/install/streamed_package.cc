#include "install/streamed_package.h"

#include <system_error>
#include <utility>

#include "platform/system_info.h"

namespace installer {

StreamedPackage::StreamedPackage(std::filesystem::path parent, helpers::StreamFormat format,
                                 std::optional<ChunkList> chunks)
    : parent_(std::move(parent)), format_(format), chunks_(std::move(chunks)) {}

StreamedPackage::~StreamedPackage() { cancel(); }

std::int64_t StreamedPackage::position() const { return taken_; }

void StreamedPackage::drop() {
  // The unpacker removes its folder when it goes without having finished.
  unpacker_.reset();
}

bool StreamedPackage::rewind() {
  std::unique_ptr<helpers::StreamUnpacker> old;
  {
    std::lock_guard lock(mu_);
    if (cancelled_) return false;
    old = std::move(unpacker_);
    stop_.reset();
    unpackError_.clear();
  }
  old.reset();
  verifier_.reset();
  taken_ = 0;
  return true;
}

bool StreamedPackage::write(const unsigned char* data, std::size_t size) {
  {
    std::lock_guard lock(mu_);
    if (cancelled_ || stop_) return false;
  }
  taken_ += static_cast<std::int64_t>(size);
  if (!chunks_) return deliver(data, size);
  if (!verifier_) {
    verifier_ = std::make_unique<ChunkVerifier>(
        *chunks_, [this](const unsigned char* chunk, std::size_t n) { return deliver(chunk, n); });
  }
  if (verifier_->update(data, size)) return true;
  std::lock_guard lock(mu_);
  if (cancelled_) return false;
  // The unpacker has seen only the chunks before the bad one: it stays,
  // in case another source has the right bytes.
  if (!stop_) stop_ = Stop{verifier_->badChunk()};
  return false;
}

std::optional<std::int64_t> StreamedPackage::resumableAt() {
  std::lock_guard lock(mu_);
  if (cancelled_ || !stop_ || !stop_->badChunk || !verifier_ || !verifier_->retryBadChunk()) {
    return std::nullopt;
  }
  taken_ = static_cast<std::int64_t>(*stop_->badChunk * kChunkSize);
  stop_.reset();
  return taken_;
}

bool StreamedPackage::deliver(const unsigned char* data, std::size_t size) {
  helpers::StreamUnpacker* unpacker = nullptr;
  {
    std::lock_guard lock(mu_);
    if (cancelled_ || stop_) return false;
    if (!unpackError_.empty()) return true;
    if (!unpacker_) {
      try {
        unpacker_ = std::make_unique<helpers::StreamUnpacker>(
            parent_ / (".qx-stream-" + platform::makeUUID()), format_);
      } catch (const std::exception& e) {
        unpackError_ = e.what();
        return true;
      }
    }
    unpacker = unpacker_.get();
  }
  // Only this thread replaces or drops the unpacker, so it stays valid
  // while `feed` waits for room; a cancel wakes it.
  if (unpacker->feed(data, size)) return true;
  std::string error;
  if (!unpacker->finish(&error) && error.empty()) error = "cancelled";
  std::lock_guard lock(mu_);
  if (cancelled_) return false;
  // An archive the stream cannot read may still be one the serial
  // unpacker reads: the download goes on, only the proofs still matter.
  if (unpackError_.empty()) unpackError_ = error.empty() ? "unpacking stopped" : error;
  drop();
  return true;
}

std::optional<StreamedPackage::Stop> StreamedPackage::stopped() const {
  std::lock_guard lock(mu_);
  return stop_;
}

std::optional<std::filesystem::path> StreamedPackage::finish(std::int64_t size, std::string* error) {
  auto fail = [&](std::string why) -> std::optional<std::filesystem::path> {
    *error = std::move(why);
    std::lock_guard lock(mu_);
    drop();
    return std::nullopt;
  };
  if (stopped()) return fail("a chunk failed its proof");
  {
    std::lock_guard lock(mu_);
    if (!unpackError_.empty()) return fail(unpackError_);
  }
  if (taken_ != size) return fail("the unpacker did not see the whole package");
  if (verifier_ && !verifier_->finish()) return fail("a chunk failed its proof");
  if (chunks_ && !verifier_ && size != 0) return fail("a chunk failed its proof");
  std::unique_ptr<helpers::StreamUnpacker> unpacker;
  {
    std::lock_guard lock(mu_);
    if (cancelled_) return fail("cancelled");
    unpacker = std::move(unpacker_);
  }
  if (!unpacker) return fail("nothing was unpacked");
  std::string why;
  if (!unpacker->finish(&why)) return fail(why.empty() ? "cancelled" : why);
  auto staging = unpacker->staging();
  unpacker.reset();
  return staging;
}

void StreamedPackage::cancel() {
  std::lock_guard lock(mu_);
  cancelled_ = true;
  if (unpacker_) unpacker_->cancel();
}

}  // namespace installer
