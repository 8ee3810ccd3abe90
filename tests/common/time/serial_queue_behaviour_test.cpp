// Serial queue behaviour that must hold on real and virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/time/time_harness.h"

namespace orvix::testing {
namespace {

template <typename Harness>
class SerialQueueBehaviour : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  TimeSource& time() { return harness.time; }
  Harness harness;
};

using Harnesses = ::testing::Types<RealHarness, VirtualHarness>;
TYPED_TEST_SUITE(SerialQueueBehaviour, Harnesses, HarnessName);

// Every third call is a sync(), and every third a runHereIfIdle() that falls back on async();
// both may run their task on the caller's thread when the queue is idle: mixed with tasks from
// other threads they still never overlap them, run as the queue's task, and keep each thread's
// submission order.
TYPED_TEST(SerialQueueBehaviour, TasksRunInSubmissionOrderAndNeverOverlap) {
  auto queue = this->time().makeSerialQueue("com.orvix.test.ordered");
  constexpr int kProducers = 3;
  constexpr int kCallsPerProducer = 300;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> outsideTheQueue{false};
  std::vector<std::pair<int, int>> order;  // touched only by the queue's tasks

  auto produce = [&](int producer) {
    for (int i = 0; i < kCallsPerProducer; ++i) {
      auto task = [&, producer, i] {
        if (running.fetch_add(1) != 0) overlapped = true;
        if (!queue->isCurrent()) outsideTheQueue = true;
        std::this_thread::yield();  // widens the window an overlap would need
        order.emplace_back(producer, i);
        running.fetch_sub(1);
      };
      if (i % 3 == 0) {
        queue->sync(task);
      } else if (i % 3 == 1 && queue->runHereIfIdle(task)) {
        continue;
      } else {
        queue->async(task);
      }
    }
  };
  std::vector<std::unique_ptr<NamedThread>> producers;
  for (int producer = 0; producer < kProducers; ++producer) {
    producers.push_back(this->time().startThread("producer-" + std::to_string(producer),
                                                 [&, producer] { produce(producer); }));
  }
  for (auto& producer : producers) producer->join();
  queue->sync([] {});

  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(outsideTheQueue);
  ASSERT_EQ(order.size(), static_cast<std::size_t>(kProducers * kCallsPerProducer));
  int next[kProducers] = {};
  for (const auto& [producer, index] : order) {
    EXPECT_EQ(index, next[producer]) << "producer " << producer;
    next[producer] = index + 1;
  }
}

TYPED_TEST(SerialQueueBehaviour, SyncReturnsAfterTheTaskRanAndSeesItsEffects) {
  auto queue = this->time().makeSerialQueue("com.orvix.test.sync");
  std::vector<int> written;  // plain data: only the happens-before of sync makes this safe
  bool ranOnQueue = false;
  queue->async([&] { written.push_back(1); });
  queue->sync([&] {
    written.push_back(2);
    ranOnQueue = queue->isCurrent();
  });
  EXPECT_EQ(written, (std::vector<int>{1, 2}));
  EXPECT_TRUE(ranOnQueue);
  EXPECT_FALSE(queue->isCurrent());
  EXPECT_EQ(queue->label(), "com.orvix.test.sync");
}

TYPED_TEST(SerialQueueBehaviour, SyncFromAnotherQueueAndExceptionsReachTheCaller) {
  auto outer = this->time().makeSerialQueue("com.orvix.test.outer");
  auto inner = this->time().makeSerialQueue("com.orvix.test.inner");
  int value = 0;
  outer->sync([&] { inner->sync([&] { value = 7; }); });
  EXPECT_EQ(value, 7);

  EXPECT_THROW(inner->sync([] { throw std::runtime_error("refused"); }), std::runtime_error);
  inner->sync([&] { value = 8; });  // the queue still works afterwards
  EXPECT_EQ(value, 8);
}

TYPED_TEST(SerialQueueBehaviour, SyncOntoItselfStopsTheProcessInsteadOfHanging) {
  EXPECT_DEATH(
      {
        auto queue = this->time().makeSerialQueue("com.orvix.test.self");
        queue->sync([&] { queue->sync([] {}); });
      },
      "com.orvix.test.self.*sync\\(\\) on itself");
}

TYPED_TEST(SerialQueueBehaviour, AsyncAfterRunsLaterThanAsyncAndCanBeCancelled) {
  auto queue = this->time().makeSerialQueue("com.orvix.test.after");
  Trace trace;
  queue->asyncAfter(3ms, [&] { trace.add("delayed"); });
  TimerHandle cancelled = queue->asyncAfter(1ms, [&] { trace.add("cancelled"); });
  queue->async([&] { trace.add("immediate"); });
  EXPECT_TRUE(cancelled.cancel());
  ASSERT_TRUE(this->harness.eventually([&] { return trace.size() >= 2; }));
  this->harness.pass(5ms);
  EXPECT_EQ(trace.entries(), (std::vector<std::string>{"immediate", "delayed"}));
}

TYPED_TEST(SerialQueueBehaviour, DestructionWaitsForTheRunningTaskAndDiscardsTheRest) {
  auto queue = this->time().makeSerialQueue("com.orvix.test.teardown");
  auto started = this->time().makeSemaphore(0);
  auto release = this->time().makeSemaphore(0);
  std::atomic<bool> runningTaskFinished{false};
  std::atomic<bool> queuedTaskRan{false};
  std::atomic<bool> delayedTaskRan{false};
  queue->async([&] {
    started->signal();
    release->wait();
    runningTaskFinished = true;
  });
  queue->async([&] { queuedTaskRan = true; });
  queue->asyncAfter(1h, [&] { delayedTaskRan = true; });
  started->wait();

  auto releaser = this->time().startThread("releaser", [&] {
    this->time().sleepFor(2ms);
    release->signal();
  });
  queue.reset();
  EXPECT_TRUE(runningTaskFinished);
  EXPECT_FALSE(delayedTaskRan);
  // On real time the releaser may win the race against reset(), and then the queued task
  // legitimately runs first; virtual time fixes the order, so there it must be discarded.
  if (TypeParam::kVirtual) {
    EXPECT_FALSE(queuedTaskRan);
  }
  releaser->join();
}

}  // namespace
}  // namespace orvix::testing
