#include "platform/dispatch.h"

#include <glib.h>
#include <pthread.h>

#include <atomic>
#include <exception>
#include <map>
#include <typeinfo>
#include <vector>

#include "platform/system_log.h"

namespace installer::platform {

namespace {

using Clock = std::chrono::steady_clock;

const SystemLog& dispatchLog() {
  static const SystemLog log("installer", "dispatch");
  return log;
}

std::mutex& exceptionHandlerLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: tasks may run during exit
  return *lock;
}
TaskExceptionHandler& exceptionHandler() {  // guarded by exceptionHandlerLock()
  static auto* handler = new TaskExceptionHandler;
  return *handler;
}

// Every task entry point goes through here: an escaping exception goes to
// the handler, or is logged, so that one bad task cannot take down a queue
// or the pool unless the handler decides so.
void runGuarded(const Task& task, const std::string& where) {
  try {
    task();
  } catch (...) {
    TaskExceptionHandler handler;
    {
      std::lock_guard<std::mutex> lock(exceptionHandlerLock());
      handler = exceptionHandler();
    }
    if (handler) {
      handler(std::current_exception(), where);
      return;
    }
    try {
      throw;
    } catch (const std::exception& e) {
      dispatchLog().error("uncaught exception in task on " + where + ": " + typeid(e).name() + ": " +
                          e.what());
    } catch (...) {
      dispatchLog().error("uncaught non-standard exception in task on " + where);
    }
  }
}

// Runs `task` on the executor's main thread and waits: inline on the main
// thread, else posted with a semaphore to wait on.
void runSyncOnMain(MainExecutor& executor, const Task& task) {
  if (executor.isMainThread()) {
    runGuarded(task, "main thread");
    return;
  }
  Semaphore done;
  executor.post([&task, &done] {
    runGuarded(task, "main thread");
    done.signal();
  });
  done.wait();
}

}  // namespace

void setTaskExceptionHandler(TaskExceptionHandler handler) {
  std::lock_guard<std::mutex> lock(exceptionHandlerLock());
  exceptionHandler() = std::move(handler);
}

// --- SerialQueue ---------------------------------------------------------

struct SerialQueue::State {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Task> ready;
  // Delayed tasks by due time; equal keys keep insertion order.
  std::multimap<Clock::time_point, Task> delayed;
  bool stopping = false;
};

namespace {
thread_local const void* tlsCurrentQueue = nullptr;
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  std::string label_copy = label_;
  thread_ = std::thread([state, label_copy] {
    tlsCurrentQueue = state.get();
    std::unique_lock<std::mutex> lock(state->mu);
    for (;;) {
      Clock::time_point now = Clock::now();
      while (!state->delayed.empty() && state->delayed.begin()->first <= now) {
        state->ready.push_back(std::move(state->delayed.begin()->second));
        state->delayed.erase(state->delayed.begin());
      }
      if (!state->ready.empty()) {
        Task task = std::move(state->ready.front());
        state->ready.pop_front();
        lock.unlock();
        runGuarded(task, label_copy);
        task = nullptr;  // release captures outside the lock
        lock.lock();
        continue;
      }
      // Delayed tasks not yet due are dropped when the queue goes away.
      if (state->stopping) break;
      if (state->delayed.empty()) {
        state->cv.wait(lock);
      } else {
        state->cv.wait_until(lock, state->delayed.begin()->first);
      }
    }
    state->delayed.clear();
  });
  // Named for debuggers and process listings by the label's last part,
  // within the kernel's 15 characters; named here, so that it carries the
  // name once the queue exists.
  const std::string name = label_.substr(label_.rfind('.') + 1, 15);
  ::pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->stopping = true;
  }
  state_->cv.notify_all();
  if (!thread_.joinable()) return;  // detached
  if (isCurrent()) {
    // Misuse (destroyed from its own task); avoid std::terminate: the
    // thread owns a reference to the state and finishes on its own.
    thread_.detach();
  } else {
    thread_.join();
  }
}

void SerialQueue::detach() {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->stopping = true;
  }
  state_->cv.notify_all();
  if (thread_.joinable()) thread_.detach();
}

void SerialQueue::async(Task task) {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->ready.push_back(std::move(task));
  }
  state_->cv.notify_one();
}

void SerialQueue::asyncAfter(Duration delay, Task task) {
  if (delay <= Duration::zero()) {
    async(std::move(task));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->delayed.emplace(Clock::now() + delay, std::move(task));
  }
  state_->cv.notify_one();
}

void SerialQueue::sync(const Task& task) {
  if (isCurrent()) {
    runGuarded(task, label_);
    return;
  }
  Semaphore done;
  async([&task, &done, this] {
    runGuarded(task, label_);
    done.signal();
  });
  done.wait();
}

bool SerialQueue::isCurrent() const { return tlsCurrentQueue == state_.get(); }

// --- GlibMainExecutor ----------------------------------------------------

namespace {

// GLib hands the task from the posting thread to the main thread through
// its own locks, which thread sanitizers cannot see; the atomic flag makes
// that hand-over explicit.
struct GlibTask {
  Task task;
  std::atomic<bool> published{false};
};

GlibTask* claim(gpointer data) {
  auto* item = static_cast<GlibTask*>(data);
  (void)item->published.load(std::memory_order_acquire);
  return item;
}

gboolean runGlibTask(gpointer data) {
  runGuarded(claim(data)->task, "main thread");
  return G_SOURCE_REMOVE;
}

void deleteGlibTask(gpointer data) { delete claim(data); }

void attachGlibSource(GMainContext* context, GSource* source, Task task) {
  // Default priority, as g_main_context_invoke uses: idle priority would
  // let a busy window (redraws, animations) starve posted work.
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  auto* item = new GlibTask{std::move(task)};
  item->published.store(true, std::memory_order_release);
  g_source_set_callback(source, runGlibTask, item, deleteGlibTask);
  g_source_attach(source, context);
  g_source_unref(source);
}

}  // namespace

GlibMainExecutor::GlibMainExecutor(void* gmainContext)
    : context_(gmainContext ? g_main_context_ref(static_cast<GMainContext*>(gmainContext))
                            : g_main_context_ref(g_main_context_default())),
      mainThread_(std::this_thread::get_id()) {}

GlibMainExecutor::~GlibMainExecutor() {
  g_main_context_unref(static_cast<GMainContext*>(context_));
}

void GlibMainExecutor::post(Task task) {
  attachGlibSource(static_cast<GMainContext*>(context_), g_idle_source_new(),
                   std::move(task));
}

void GlibMainExecutor::postAfter(Duration delay, Task task) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
  if (ms < 0) ms = 0;
  GSource* source = g_timeout_source_new(static_cast<guint>(ms));
  attachGlibSource(static_cast<GMainContext*>(context_), source, std::move(task));
}

void GlibMainExecutor::runSync(const Task& task) { runSyncOnMain(*this, task); }

bool GlibMainExecutor::isMainThread() const {
  return std::this_thread::get_id() == mainThread_;
}

// --- ManualMainExecutor --------------------------------------------------

ManualMainExecutor::ManualMainExecutor() : mainThread_(std::this_thread::get_id()) {}

void ManualMainExecutor::post(Task task) { postAfter(Duration::zero(), std::move(task)); }

void ManualMainExecutor::postAfter(Duration delay, Task task) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    Item item{Clock::now() + (delay > Duration::zero() ? delay : Duration::zero()),
              std::move(task)};
    // Keep the list sorted by due time, stable for equal times.
    auto it = items_.end();
    while (it != items_.begin() && std::prev(it)->due > item.due) --it;
    items_.insert(it, std::move(item));
    cv_.notify_all();
  }
}

void ManualMainExecutor::runSync(const Task& task) { runSyncOnMain(*this, task); }

bool ManualMainExecutor::isMainThread() const {
  return std::this_thread::get_id() == mainThread_;
}

std::size_t ManualMainExecutor::pump() {
  std::vector<Task> due;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Clock::time_point now = Clock::now();
    while (!items_.empty() && items_.front().due <= now) {
      due.push_back(std::move(items_.front().task));
      items_.pop_front();
    }
  }
  for (Task& task : due) {
    runGuarded(task, "main thread");
    task = nullptr;
  }
  return due.size();
}

bool ManualMainExecutor::pumpUntil(const std::function<bool()>& done, Duration timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    pump();
    if (done()) return true;
    Clock::time_point now = Clock::now();
    if (now >= deadline) return done();
    std::unique_lock<std::mutex> lock(mu_);
    Clock::time_point wakeAt = deadline;
    if (!items_.empty()) wakeAt = std::min(wakeAt, items_.front().due);
    // Work done on other threads may flip `done()` without posting here, so
    // never sleep long between checks.
    wakeAt = std::min(wakeAt, now + std::chrono::milliseconds(10));
    if (items_.empty() || items_.front().due > now) cv_.wait_until(lock, wakeAt);
  }
}

// --- Semaphore -----------------------------------------------------------

void Semaphore::signal() {
  // Notify under the lock: a waiter that wakes may destroy the semaphore
  // as soon as the lock is released (the usual "signal done" pattern).
  std::lock_guard<std::mutex> lock(mu_);
  ++count_;
  cv_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool Semaphore::waitFor(Duration timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_until(lock, Clock::now() + timeout, [this] { return count_ > 0; })) {
    return false;
  }
  --count_;
  return true;
}

// --- OneShotTimer --------------------------------------------------------

struct OneShotTimer::State {
  std::mutex mu;
  bool cancelled = false;
  Task task;
};

OneShotTimer::OneShotTimer(SerialQueue& queue, Duration delay, Task task)
    : state_(std::make_shared<State>()) {
  state_->task = std::move(task);
  std::weak_ptr<State> weak = state_;
  queue.asyncAfter(delay, [weak] {
    std::shared_ptr<State> state = weak.lock();
    if (!state) return;
    Task task;
    {
      std::lock_guard<std::mutex> lock(state->mu);
      if (state->cancelled) return;
      state->cancelled = true;  // fires once
      task = std::move(state->task);
      state->task = nullptr;
    }
    if (task) task();
  });
}

OneShotTimer::~OneShotTimer() { cancel(); }

void OneShotTimer::cancel() {
  Task dropped;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->cancelled = true;
    dropped = std::move(state_->task);
    state_->task = nullptr;
  }
  // `dropped` releases its captures here, outside the lock.
}

// --- dispatchGlobal ------------------------------------------------------

namespace {

// The pool lives for the whole process: its threads are detached and the
// pool itself is never destroyed, so exit never races a worker against the
// destruction of the state it waits on.
class GlobalPool {
 public:
  static GlobalPool& shared() {
    static GlobalPool* pool = new GlobalPool();
    return *pool;
  }

  void submit(Task task) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      tasks_.push_back(std::move(task));
      if (static_cast<int>(tasks_.size()) > idle_ && threads_ < kMaxThreads) {
        ++threads_;
        std::thread worker([this] { work(); });
        // A new thread takes its creator's name; a pool worker is nobody's.
        ::pthread_setname_np(worker.native_handle(), "dispatch-pool");
        worker.detach();
      }
    }
    cv_.notify_one();
  }

 private:
  static constexpr int kMaxThreads = 4;

  void work() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      while (tasks_.empty()) {
        ++idle_;
        cv_.wait(lock);
        --idle_;
      }
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      runGuarded(task, "global queue");
      task = nullptr;
      lock.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  int threads_ = 0;
  int idle_ = 0;
};

}  // namespace

void dispatchGlobal(QueuePriority /*priority*/, Task task) {
  GlobalPool::shared().submit(std::move(task));
}

}  // namespace installer::platform
