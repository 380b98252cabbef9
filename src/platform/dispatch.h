// Dispatch primitives: serial queues, the main-thread executor, semaphores,
// one-shot timers and a small shared pool for concurrent background work.
//
// These stand in for the platform's dispatch queues. Every type here is
// thread-safe unless stated otherwise.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace installer::platform {

using Task = std::function<void()>;
using Duration = std::chrono::steady_clock::duration;

// What becomes of an exception escaping a task of any queue, the main
// executor or the pool. Without a handler it is written to the system log
// and the queue goes on. With one (the program's crash reporter), the
// handler gets it instead, on the task's thread, with the queue's label, and
// may end the process; when it returns, the queue goes on. Any thread; the
// handler must be safe to call from any thread. Null restores the default.
using TaskExceptionHandler = std::function<void(std::exception_ptr exception, const std::string& where)>;
void setTaskExceptionHandler(TaskExceptionHandler handler);

// A labelled queue that runs its tasks one at a time, in submission order,
// on one thread of its own. The thread starts with the queue, named by the
// label's last dot-separated part ("installer.copy-progress": "copy-progress",
// at most 15 characters). Destruction
// runs every task already submitted (delayed tasks only when already due;
// later ones are dropped), then joins the thread; it must not happen on the
// queue's own thread. An exception escaping a task goes to the task
// exception handler (above) and does not stop the queue.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues `task` and returns at once.
  void async(Task task);
  // Queues `task` after `delay` has passed and returns at once. The delay is
  // measured on the steady clock; tasks due at the same time run in order.
  void asyncAfter(Duration delay, Task task);
  // Runs `task` on the queue and waits for it. Called on the queue itself it
  // runs `task` inline instead of deadlocking.
  void sync(const Task& task);
  // Lets go of the thread without waiting: it runs the task in progress and
  // those already submitted on its own, then ends; destruction then returns
  // at once. The tasks must hold whatever they use. Submit nothing after.
  void detach();

  // True when the calling thread is this queue's thread.
  bool isCurrent() const;
  const std::string& label() const { return label_; }

 private:
  struct State;
  std::string label_;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

// Work that must run on the main (user-interface) thread.
// The program uses GlibMainExecutor; tests use ManualMainExecutor and pump it.
class MainExecutor {
 public:
  virtual ~MainExecutor() = default;
  // Runs `task` on the main thread later; never inline.
  virtual void post(Task task) = 0;
  // Runs `task` on the main thread after at least `delay`.
  virtual void postAfter(Duration delay, Task task) = 0;
  // Runs `task` on the main thread and waits for it; inline when called on
  // the main thread.
  virtual void runSync(const Task& task) = 0;
  // True on the main thread.
  virtual bool isMainThread() const = 0;
};

// Posts into a GLib main context (the default one when `context` is null).
// The main thread is the thread that constructs the executor; that thread
// must iterate the context (GTK's loop does).
class GlibMainExecutor final : public MainExecutor {
 public:
  explicit GlibMainExecutor(void* gmainContext = nullptr);
  ~GlibMainExecutor() override;
  void post(Task task) override;
  void postAfter(Duration delay, Task task) override;
  void runSync(const Task& task) override;
  bool isMainThread() const override;

 private:
  void* context_;
  std::thread::id mainThread_;
};

// A main executor for tests: the thread that constructs it is the main
// thread, and tasks run only while that thread pumps. `runSync` from another
// thread waits until the main thread pumps.
class ManualMainExecutor final : public MainExecutor {
 public:
  ManualMainExecutor();
  void post(Task task) override;
  void postAfter(Duration delay, Task task) override;
  void runSync(const Task& task) override;
  bool isMainThread() const override;

  // Main thread only. Runs every task that is due now; returns how many ran.
  std::size_t pump();
  // Main thread only. Pumps until `done()` is true or `timeout` passes,
  // sleeping on new work in between. Returns `done()`.
  bool pumpUntil(const std::function<bool()>& done, Duration timeout);

 private:
  struct Item {
    std::chrono::steady_clock::time_point due;
    Task task;
  };
  std::thread::id mainThread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> items_;
};

// A counting semaphore with a timed wait.
class Semaphore {
 public:
  explicit Semaphore(int initial = 0) : count_(initial) {}
  void signal();
  void wait();
  // Returns true when the semaphore was taken, false when `timeout` passed.
  bool waitFor(Duration timeout);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_;
};

// Fires once on `queue` after `delay` unless cancelled first. The timer
// holds only a weak hold on its own state: destroying the timer cancels it.
// `cancel` may be called from any thread; after it returns, the task will
// not start (a run already in progress finishes).
class OneShotTimer {
 public:
  OneShotTimer(SerialQueue& queue, Duration delay, Task task);
  ~OneShotTimer();
  OneShotTimer(const OneShotTimer&) = delete;
  OneShotTimer& operator=(const OneShotTimer&) = delete;
  void cancel();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Concurrent background work, the stand-in for the platform's global queues.
enum class QueuePriority { userInitiated, utility };

// Runs `task` on a small process-wide pool of worker threads. Tasks may run
// concurrently with each other; no order is promised.
void dispatchGlobal(QueuePriority priority, Task task);

}  // namespace installer::platform
