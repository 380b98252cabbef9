// Copy progress from the growing size of the destination tree.
//
// A CopyProgressWatcher samples `treeSize(destination)` on its own serial
// queue "installer.copy-progress": once when started, then again `interval`
// after each sample has finished (a one-shot timer re-armed per sample, so
// samples never overlap). It reports (copied, total) where copied is the
// growth above the smallest destination size seen so far (the low-water
// mark), clamped to the total; reported values never decrease and the first
// sample always reports. All state is touched only on the queue; `report`
// is always called there.
//
// Owned by the copying code through a shared_ptr; the timer holds it only
// weakly. `finish` and `stop` may be called from any thread (inline when
// already on the queue) and are ordered after a sample in progress.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/dispatch.h"

namespace installer {

using CopyProgressHandler = std::function<void(std::int64_t copied, std::int64_t total)>;

struct CopyProgressState {
  std::int64_t total = 0;
  std::int64_t lowWater = 0;
  std::optional<std::int64_t> reported;
};

class CopyProgressWatcher : public std::enable_shared_from_this<CopyProgressWatcher> {
 public:
  // Absent when `report` is empty or the source's size is unknown or 0.
  static std::shared_ptr<CopyProgressWatcher> create(
      const std::filesystem::path& source, const std::filesystem::path& destination,
      CopyProgressHandler report,
      platform::Duration interval = std::chrono::milliseconds(500));
  ~CopyProgressWatcher();

  void start();
  // Reports (total, total) unless that was the last report.
  void finish();
  // No sample reports anything afterwards; the timer is cancelled.
  void stop();

  // Pure sampling rule, exposed for tests: folds one measurement into
  // `state` and returns the value to report, if any.
  static std::optional<std::int64_t> foldSample(CopyProgressState& state,
                                                std::optional<std::int64_t> current);

  struct Private;
  CopyProgressWatcher(Private, const std::filesystem::path& destination, CopyProgressHandler report,
                      CopyProgressState state, platform::Duration interval);

 private:
  void sample();
  void onQueue(const std::function<void()>& task);

  std::unique_ptr<platform::SerialQueue> queue_;
  std::filesystem::path destination_;
  CopyProgressHandler report_;
  CopyProgressState state_;
  std::unique_ptr<platform::OneShotTimer> timer_;
  bool stopped_ = false;
  platform::Duration interval_;
};

}  // namespace installer
