#include "package/copy_progress.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <thread>

#include "package/file_copy.h"

namespace installer {

struct CopyProgressWatcher::Private {};

namespace {

// Runs a sample for a watcher held weakly. When the sample's hold turns out
// to be the last one, the watcher is let go on another thread: its queue
// cannot be torn down from the queue's own thread.
void sampleWeakly(const std::weak_ptr<CopyProgressWatcher>& weak,
                  void (CopyProgressWatcher::*sample)()) {
  auto self = weak.lock();
  if (!self) return;
  ((*self).*sample)();
  if (self.use_count() == 1) {
    platform::dispatchGlobal(platform::QueuePriority::utility, [last = std::move(self)] {});
  }
}

}  // namespace

std::shared_ptr<CopyProgressWatcher> CopyProgressWatcher::create(
    const std::filesystem::path& source, const std::filesystem::path& destination,
    CopyProgressHandler report, platform::Duration interval) {
  if (!report) return nullptr;
  auto total = treeSize(source);
  if (!total || *total <= 0) return nullptr;
  CopyProgressState state;
  state.total = *total;
  state.lowWater = treeSize(destination).value_or(0);
  return std::make_shared<CopyProgressWatcher>(Private{}, destination, std::move(report), state,
                                               interval);
}

CopyProgressWatcher::CopyProgressWatcher(Private, const std::filesystem::path& destination,
                                         CopyProgressHandler report, CopyProgressState state,
                                         platform::Duration interval)
    : queue_(std::make_unique<platform::SerialQueue>("installer.copy-progress")),
      destination_(destination),
      report_(std::move(report)),
      state_(state),
      interval_(interval) {}

CopyProgressWatcher::~CopyProgressWatcher() {
  timer_.reset();
  // The last hold may be dropped by a sample running on the queue; a queue
  // cannot be torn down from its own thread, so another thread does it once
  // that sample has returned.
  if (queue_->isCurrent()) {
    std::thread([q = queue_.release()] { delete q; }).detach();
  }
}

void CopyProgressWatcher::start() {
  // The queue's thread is this watcher's alone: give it the utility
  // quality of service, below the copy it measures.
#ifdef __linux__
  queue_->async([] { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10); });
#endif
  std::weak_ptr<CopyProgressWatcher> weak = weak_from_this();
  queue_->async([weak] { sampleWeakly(weak, &CopyProgressWatcher::sample); });
}

void CopyProgressWatcher::onQueue(const std::function<void()>& task) {
  if (queue_->isCurrent()) {
    task();
    return;
  }
  // A promise rather than SerialQueue::sync: its shared state outlives both
  // sides, so the waiter may return while the queue is still signalling.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  queue_->async([&task, done] {
    try {
      task();
      done->set_value();
    } catch (...) {
      done->set_exception(std::current_exception());
    }
  });
  finished.get();
}

void CopyProgressWatcher::finish() {
  onQueue([this] {
    if (state_.total > 0 && state_.reported != state_.total) {
      state_.reported = state_.total;
      report_(state_.total, state_.total);
    }
  });
}

void CopyProgressWatcher::stop() {
  onQueue([this] {
    stopped_ = true;
    if (timer_) timer_->cancel();
    timer_.reset();
  });
}

std::optional<std::int64_t> CopyProgressWatcher::foldSample(CopyProgressState& state,
                                                            std::optional<std::int64_t> current) {
  if (!current || state.total <= 0) return std::nullopt;
  state.lowWater = std::min(state.lowWater, *current);
  std::int64_t copied = std::max<std::int64_t>(*current - state.lowWater, 0);
  std::int64_t clamped = std::min(copied, state.total);
  if (state.reported && *state.reported >= clamped) return std::nullopt;
  state.reported = clamped;
  return clamped;
}

void CopyProgressWatcher::sample() {
  if (stopped_) return;
  if (auto value = foldSample(state_, treeSize(destination_))) report_(*value, state_.total);
  if (stopped_) return;  // the report may have stopped us
  if (timer_) timer_->cancel();
  std::weak_ptr<CopyProgressWatcher> weak = weak_from_this();
  timer_ = std::make_unique<platform::OneShotTimer>(
      *queue_, interval_, [weak] { sampleWeakly(weak, &CopyProgressWatcher::sample); });
}

}  // namespace installer
