#include "platform/dispatch.h"

#include <gtest/gtest.h>
#include <glib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <stdexcept>
#include <vector>

namespace installer::platform {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsTasksInSubmissionOrderOnItsOwnThread) {
  std::vector<int> order;
  std::thread::id testThread = std::this_thread::get_id();
  std::atomic<bool> offThread{true};
  {
    SerialQueue queue("installer.test");
    for (int i = 0; i < 100; ++i) {
      queue.async([&, i] {
        if (std::this_thread::get_id() == testThread) offThread = false;
        order.push_back(i);
      });
    }
  }  // destruction drains submitted work
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_TRUE(offThread);
}

TEST(SerialQueueTest, SyncRunsInlineOnItsOwnQueueAndKnowsItsThread) {
  SerialQueue queue("installer.test");
  EXPECT_FALSE(queue.isCurrent());
  bool inner = false;
  bool current = false;
  queue.sync([&] {
    current = queue.isCurrent();
    queue.sync([&] { inner = true; });  // must not deadlock
  });
  EXPECT_TRUE(current);
  EXPECT_TRUE(inner);
  SerialQueue other("installer.other");
  bool otherCurrent = true;
  queue.sync([&] { otherCurrent = other.isCurrent(); });
  EXPECT_FALSE(otherCurrent);
}

TEST(SerialQueueTest, AsyncAfterRunsByDueTimeAndKeepsOrderForEqualDelays) {
  SerialQueue queue("installer.test");
  std::mutex mu;
  std::vector<std::string> order;
  Semaphore done;
  auto record = [&](std::string name) {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back(std::move(name));
  };
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration lateRanAfter{};
  queue.asyncAfter(60ms, [&] {
    record("late");
    lateRanAfter = std::chrono::steady_clock::now() - start;
    done.signal();
  });
  queue.asyncAfter(20ms, [&] { record("early-1"); });
  queue.asyncAfter(20ms, [&] { record("early-2"); });
  queue.async([&] { record("now"); });
  ASSERT_TRUE(done.waitFor(5s));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(order, (std::vector<std::string>{"now", "early-1", "early-2", "late"}));
  EXPECT_GE(lateRanAfter, 60ms);
}

TEST(SerialQueueTest, ExceptionInTaskDoesNotStopTheQueue) {
  SerialQueue queue("installer.test");
  Semaphore done;
  queue.async([] { throw std::runtime_error("boom"); });
  queue.async([] { throw 42; });
  queue.async([&] { done.signal(); });
  EXPECT_TRUE(done.waitFor(5s));
}

TEST(SerialQueueTest, TaskExceptionsGoToTheHandlerWithTheQueuesLabel) {
  std::mutex mu;
  std::condition_variable changed;
  std::vector<std::string> seen;
  setTaskExceptionHandler([&](std::exception_ptr exception, const std::string& where) {
    try {
      std::rethrow_exception(exception);
    } catch (const std::runtime_error& e) {
      std::lock_guard<std::mutex> lock(mu);
      seen.push_back(where + ": " + e.what());
      changed.notify_all();
    }
  });
  auto waitFor = [&](std::size_t count) {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, 5s, [&] { return seen.size() >= count; });
  };
  SerialQueue queue("installer.test");
  queue.async([] { throw std::runtime_error("boom"); });
  EXPECT_TRUE(waitFor(1));
  dispatchGlobal(QueuePriority::utility, [] { throw std::runtime_error("pooled"); });
  EXPECT_TRUE(waitFor(2));
  setTaskExceptionHandler(nullptr);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(seen, (std::vector<std::string>{"installer.test: boom", "global queue: pooled"}));
}

TEST(SemaphoreTest, TimedWaitReportsWhetherItWasTaken) {
  Semaphore sem;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sem.waitFor(30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  sem.signal();
  sem.signal();
  EXPECT_TRUE(sem.waitFor(0ms));
  EXPECT_TRUE(sem.waitFor(1s));
  EXPECT_FALSE(sem.waitFor(0ms));
  std::thread signaller([&] { sem.signal(); });
  EXPECT_TRUE(sem.waitFor(5s));
  signaller.join();
}

TEST(OneShotTimerTest, FiresOnceOnItsQueue) {
  SerialQueue queue("installer.test");
  Semaphore fired;
  std::atomic<int> count{0};
  std::atomic<bool> onQueue{false};
  OneShotTimer timer(queue, 10ms, [&] {
    onQueue = queue.isCurrent();
    ++count;
    fired.signal();
  });
  ASSERT_TRUE(fired.waitFor(5s));
  queue.sync([] {});
  EXPECT_EQ(count.load(), 1);
  EXPECT_TRUE(onQueue);
}

TEST(OneShotTimerTest, CancelAndDestructionPreventTheRun) {
  SerialQueue queue("installer.test");
  std::atomic<int> count{0};
  OneShotTimer cancelled(queue, 30ms, [&] { ++count; });
  cancelled.cancel();
  { OneShotTimer destroyed(queue, 30ms, [&] { ++count; }); }
  // A later marker task proves the timers' due times have passed.
  Semaphore marker;
  queue.asyncAfter(80ms, [&] { marker.signal(); });
  ASSERT_TRUE(marker.waitFor(5s));
  EXPECT_EQ(count.load(), 0);
}

TEST(ManualMainExecutorTest, RunsTasksOnlyWhenPumpedOnTheMainThread) {
  ManualMainExecutor main;
  EXPECT_TRUE(main.isMainThread());
  int ran = 0;
  main.post([&] { ++ran; });
  main.postAfter(1h, [&] { ran += 100; });
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(main.pump(), 1u);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(main.pump(), 0u);
}

TEST(ManualMainExecutorTest, RunSyncFromAnotherThreadWaitsForThePump) {
  ManualMainExecutor main;
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    EXPECT_FALSE(main.isMainThread());
    main.runSync([&] { ranOnMain = main.isMainThread(); });
    returned = true;
  });
  EXPECT_TRUE(main.pumpUntil([&] { return returned.load(); }, 5s));
  worker.join();
  EXPECT_TRUE(ranOnMain);
  bool inlineRun = false;
  main.runSync([&] { inlineRun = true; });  // inline on the main thread
  EXPECT_TRUE(inlineRun);
}

TEST(ManualMainExecutorTest, PostAfterWaitsForItsDelay) {
  ManualMainExecutor main;
  auto start = std::chrono::steady_clock::now();
  bool ran = false;
  main.postAfter(40ms, [&] { ran = true; });
  EXPECT_TRUE(main.pumpUntil([&] { return ran; }, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
}

TEST(GlibMainExecutorTest, PostsIntoItsContextAndRunSyncHopsThere) {
  GMainContext* context = g_main_context_new();
  {
    GlibMainExecutor main(context);
    bool posted = false;
    bool delayed = false;
    main.post([&] { posted = true; });
    main.postAfter(20ms, [&] { delayed = true; });
    EXPECT_FALSE(posted);  // never inline
    std::atomic<bool> syncRan{false};
    std::atomic<bool> returned{false};
    std::thread worker([&] {
      main.runSync([&] { syncRan = main.isMainThread(); });
      returned = true;
    });
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!(posted && delayed && returned) && std::chrono::steady_clock::now() < deadline) {
      g_main_context_iteration(context, FALSE);
      std::this_thread::sleep_for(1ms);
    }
    worker.join();
    EXPECT_TRUE(posted);
    EXPECT_TRUE(delayed);
    EXPECT_TRUE(syncRan);
  }
  g_main_context_unref(context);
}

TEST(DispatchGlobalTest, RunsTasksConcurrently) {
  // Two tasks that each wait for the other can only finish when the pool
  // runs them at the same time.
  Semaphore a, b, done;
  dispatchGlobal(QueuePriority::userInitiated, [&] {
    a.signal();
    if (b.waitFor(5s)) done.signal();
  });
  dispatchGlobal(QueuePriority::utility, [&] {
    b.signal();
    if (a.waitFor(5s)) done.signal();
  });
  EXPECT_TRUE(done.waitFor(10s));
  EXPECT_TRUE(done.waitFor(10s));
}

}  // namespace
}  // namespace installer::platform
