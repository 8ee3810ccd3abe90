// Run loop, timer, blocking-wait and thread behaviour that must hold on real and virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "common/time/time_harness.h"

namespace orvix::testing {
namespace {

template <typename Harness>
class TimeBehaviour : public ::testing::Test {
 protected:
  TimeSource& time() { return harness.time; }
  Duration uptime() { return harness.time.clock().uptime(); }
  Harness harness;
};

using Harnesses = ::testing::Types<RealHarness, VirtualHarness>;
TYPED_TEST_SUITE(TimeBehaviour, Harnesses, HarnessName);

TYPED_TEST(TimeBehaviour, PostedTasksRunInOrderOnTheThreadRunningTheLoop) {
  auto loop = this->time().makeRunLoop("worker");
  auto worker = this->time().startThread("worker", [&] { loop->run(); });
  std::vector<int> order;  // touched only on the worker, read after join
  bool allOnLoopThread = true;
  for (int i = 0; i < 20; ++i) {
    loop->post([&, i] {
      allOnLoopThread = allOnLoopThread && loop->isCurrent();
      order.push_back(i);
    });
  }
  loop->post([&] { loop->stop(); });
  worker->join();
  worker->join();  // idempotent
  EXPECT_EQ(worker->name(), "worker");

  std::vector<int> expected(20);
  for (int i = 0; i < 20; ++i) expected[i] = i;
  EXPECT_EQ(order, expected);
  EXPECT_TRUE(allOnLoopThread);
  EXPECT_FALSE(loop->isCurrent());
}

TYPED_TEST(TimeBehaviour, TimersFireByDueTimeThenInSchedulingOrder) {
  RunLoop& loop = this->time().mainLoop();
  Trace trace;
  loop.scheduleAfter(6ms, [&] { trace.add("late"); });
  loop.scheduleAfter(2ms, [&] { trace.add("first"); });
  loop.scheduleAfter(4ms, [&] { trace.add("middle"); });
  loop.scheduleAfter(2ms, [&] { trace.add("second"); });
  ASSERT_TRUE(this->harness.eventually([&] { return trace.size() == 4; }));
  EXPECT_EQ(trace.entries(), (std::vector<std::string>{"first", "second", "middle", "late"}));
}

TYPED_TEST(TimeBehaviour, CancelledTimerNeverRunsAndCancelReportsWhetherItPreventedTheRun) {
  RunLoop& loop = this->time().mainLoop();
  std::atomic<bool> cancelledRan{false};
  std::atomic<bool> firedRan{false};
  TimerHandle cancelled = loop.scheduleAfter(2ms, [&] { cancelledRan = true; });
  TimerHandle fired = loop.scheduleAfter(3ms, [&] { firedRan = true; });

  EXPECT_TRUE(cancelled.isPending());
  EXPECT_TRUE(cancelled.cancel());
  EXPECT_FALSE(cancelled.cancel());
  EXPECT_FALSE(cancelled.isPending());

  ASSERT_TRUE(this->harness.eventually([&] { return firedRan.load(); }));
  this->harness.pass(5ms);
  EXPECT_FALSE(cancelledRan);
  EXPECT_FALSE(fired.cancel());  // too late: it already ran
  EXPECT_FALSE(TimerHandle().cancel());
}

TYPED_TEST(TimeBehaviour, TaskCancellingATimerDueAtTheSameInstantPreventsIt) {
  RunLoop& loop = this->time().mainLoop();
  TimerHandle victim;
  bool cancelledInTime = false;
  bool victimRan = false;
  loop.scheduleAfter(2ms, [&] { cancelledInTime = victim.cancel(); });
  victim = loop.scheduleAfter(2ms, [&] { victimRan = true; });
  this->harness.pass(20ms);
  EXPECT_TRUE(cancelledInTime);
  EXPECT_FALSE(victimRan);
}

TYPED_TEST(TimeBehaviour, CancelRacingWithFiringEitherWinsOrReportsFailure) {
  auto loop = this->time().makeRunLoop("racer");
  auto thread = this->time().startThread("racer", [&] { loop->run(); });
  constexpr int kTimers = 64;
  std::vector<std::atomic<int>> runs(kTimers);
  std::vector<bool> cancelled(kTimers);
  for (int i = 0; i < kTimers; ++i) {
    TimerHandle handle = loop->scheduleAfter(0ms, [&runs, i] { ++runs[i]; });
    if (i % 4 == 1) this->time().sleepFor(100us);
    cancelled[i] = handle.cancel();
  }
  loop->post([&] { loop->stop(); });
  thread->join();
  for (int i = 0; i < kTimers; ++i) {
    EXPECT_EQ(runs[i].load(), cancelled[i] ? 0 : 1) << "timer " << i;
  }
}

TYPED_TEST(TimeBehaviour, StopEndsRunAfterTheCurrentTaskAndLeavesTheRestQueued) {
  RunLoop& loop = this->time().mainLoop();
  Trace trace;
  loop.stop();  // before run: the next run returns at once
  loop.post([&] {
    trace.add("stopping");
    loop.stop();
    trace.add("after stop");
  });
  loop.post([&] { trace.add("next run"); });
  loop.run();
  EXPECT_EQ(trace.size(), 0u);
  loop.run();
  EXPECT_EQ(trace.entries(), (std::vector<std::string>{"stopping", "after stop"}));
  loop.runFor(1ms);
  EXPECT_EQ(trace.size(), 3u);
}

TYPED_TEST(TimeBehaviour, StopFromAnotherThreadOrQueueEndsRun) {
  RunLoop& loop = this->time().mainLoop();
  auto stopper = this->time().startThread("stopper", [&] {
    this->time().sleepFor(2ms);
    loop.stop();
  });
  loop.run();
  stopper->join();

  auto queue = this->time().makeSerialQueue("com.orvix.test.stopper");
  queue->asyncAfter(2ms, [&] { loop.stop(); });
  loop.run();
}

TYPED_TEST(TimeBehaviour, RunForReturnsAfterItsDurationHavingRunWhatWasDue) {
  RunLoop& loop = this->time().mainLoop();
  bool due = false;
  bool later = false;
  loop.scheduleAfter(2ms, [&] { due = true; });
  TimerHandle notYet = loop.scheduleAfter(1h, [&] { later = true; });
  const Duration start = this->uptime();
  loop.runFor(20ms);
  const Duration elapsed = this->uptime() - start;

  EXPECT_TRUE(due);
  EXPECT_FALSE(later);
  EXPECT_GE(elapsed, 20ms);
  EXPECT_LT(elapsed, 10s);
  if (TypeParam::kVirtual) {
    EXPECT_EQ(elapsed, 20ms);
  }
  notYet.cancel();
}

TYPED_TEST(TimeBehaviour, RunForReturnsEvenWhenTheLoopNeverFallsIdle) {
  RunLoop& loop = this->time().mainLoop();
  int rounds = 0;
  std::function<void()> busy = [&] {
    ++rounds;
    this->time().sleepFor(1ms);
    loop.post(busy);
  };
  loop.post(busy);
  loop.runFor(5ms);
  EXPECT_GE(rounds, 1);
  if (TypeParam::kVirtual) {
    EXPECT_EQ(rounds, 6);  // the round posted at exactly 5 ms was ready by then; its repost not
  }
}

TYPED_TEST(TimeBehaviour, NestedRunForInsideATaskKeepsServingTheLoop) {
  RunLoop& loop = this->time().mainLoop();
  Trace trace;
  loop.post([&] {
    trace.add("command starts");
    loop.post([&] { trace.add("callback during the wait"); });
    loop.runFor(5ms);
    trace.add("command ends");
    loop.stop();
  });
  loop.run();
  EXPECT_EQ(trace.entries(), (std::vector<std::string>{"command starts", "callback during the wait",
                                                       "command ends"}));
}

TYPED_TEST(TimeBehaviour, SleepForBlocksTheCallerAndItsLoop) {
  RunLoop& loop = this->time().mainLoop();
  bool loopRan = false;
  loop.post([&] { loopRan = true; });
  const Duration start = this->uptime();
  this->time().sleepFor(5ms);
  const Duration elapsed = this->uptime() - start;

  EXPECT_GE(elapsed, 5ms);
  if (TypeParam::kVirtual) {
    EXPECT_EQ(elapsed, 5ms);
  }
  EXPECT_FALSE(loopRan);  // nobody pumped the main loop while its thread slept
}

TYPED_TEST(TimeBehaviour, SemaphoreCountsSignalsAndWaitForTimesOutWithoutOne) {
  auto semaphore = this->time().makeSemaphore(1);
  semaphore->signal();
  EXPECT_TRUE(semaphore->waitFor(0ms));
  EXPECT_TRUE(semaphore->waitFor(0ms));
  const Duration start = this->uptime();
  EXPECT_FALSE(semaphore->waitFor(5ms));
  const Duration elapsed = this->uptime() - start;
  EXPECT_GE(elapsed, 5ms);
  if (TypeParam::kVirtual) {
    EXPECT_EQ(elapsed, 5ms);
  }
}

TYPED_TEST(TimeBehaviour, SemaphoreWaitForReturnsOnceCallbacksSignal) {
  auto answered = this->time().makeSemaphore(0);
  auto callbacks = this->time().makeSerialQueue("com.orvix.test.callbacks");
  int answer = 0;  // written on the queue, read after the wait
  callbacks->asyncAfter(2ms, [&] {
    answer = 200;
    answered->signal();
  });
  const Duration start = this->uptime();
  ASSERT_TRUE(answered->waitFor(16s));
  EXPECT_EQ(answer, 200);
  EXPECT_LT(this->uptime() - start, 10s);
  if (TypeParam::kVirtual) {
    EXPECT_EQ(this->uptime() - start, 2ms);
  }
}

}  // namespace
}  // namespace orvix::testing
