// A package unpacked while it downloads: the download's tap that proves
// each chunk against the vendor's signed chunk list (when there is one)
// and hands only proven bytes to a StreamUnpacker writing into a private
// staging folder.
//
// The staging folder ("<parent>/.qx-stream-<UUID>", 0700) is made when the
// first byte arrives and removed again by a rewind, a failure, `cancel`
// or destruction, unless `finish` has handed the tree over.
//
// Threads: position, rewind and write are the download's (its transfer
// thread); resumableAt belongs to the download step, between two attempts;
// finish to the install run, after the download has ended; cancel may
// come from any thread at any time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "extract/stream_unpacker.h"
#include "network/downloader.h"
#include "proof/chunk_list.h"

namespace installer {

class StreamedPackage final : public DownloadTap {
 public:
  helpers::StreamFormat format() const { return format_; }

  // Why the stream stopped the download: the chunk that failed its proof
  // (absent when the stream ran past the listed size). An archive the
  // stream cannot unpack does not stop the download: `finish` then says
  // why, and the package is unpacked the serial way.
  struct Stop {
    std::optional<std::uint64_t> badChunk;
  };

  // Unpacks `format` below `parent` (which must exist), proving chunks
  // against `chunks` when given. Never fails.
  StreamedPackage(std::filesystem::path parent, helpers::StreamFormat format,
                  std::optional<ChunkList> chunks);
  ~StreamedPackage() override;

  std::int64_t position() const override;
  bool rewind() override;
  bool write(const unsigned char* data, std::size_t size) override;
  // After a chunk failed its proof: the chunk's first byte, from where
  // another source may go on.
  std::optional<std::int64_t> resumableAt() override;

  // Why the stream stopped; absent while it runs.
  std::optional<Stop> stopped() const;

  // After the download has delivered the whole file: ends the stream and
  // returns the staging folder holding the unpacked tree, which the caller
  // then owns (and removes). Absent, with the reason in `*error`, when the
  // stream did not see exactly `size` proven bytes or the unpacking failed.
  std::optional<std::filesystem::path> finish(std::int64_t size, std::string* error);

  // Stops the unpacking and removes the staging folder; any thread.
  void cancel();

 private:
  bool deliver(const unsigned char* data, std::size_t size);
  void drop();  // removes the unpacker and its folder; mu_ held

  const std::filesystem::path parent_;
  const helpers::StreamFormat format_;
  const std::optional<ChunkList> chunks_;

  mutable std::mutex mu_;  // guards the fields below against cancel
  std::unique_ptr<helpers::StreamUnpacker> unpacker_;
  bool cancelled_ = false;
  std::optional<Stop> stop_;
  std::string unpackError_;

  // Transfer thread only.
  std::unique_ptr<ChunkVerifier> verifier_;
  std::int64_t taken_ = 0;
};

}  // namespace installer
