// What only virtual time guarantees: exact timeouts, time that moves only when every simulated
// thread waits, reproducible interleavings and a loud report instead of a hung test.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/time/time_harness.h"

namespace orvix::testing {
namespace {

class VirtualTime : public ::testing::Test {
 protected:
  // Milliseconds since the source started, for readable traces.
  long long at() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.now() -
                                                                 VirtualTimeSource::kStartUptime)
        .count();
  }

  VirtualTimeSource time;
};

TEST_F(VirtualTime, StartsAtAFixedUptimeAndMovesOnlyWhenAdvanced) {
  EXPECT_EQ(time.now(), 1000s);
  EXPECT_EQ(time.clock().uptimeSeconds(), 1000.0);
  EXPECT_EQ(time.clock().uptimeNanoseconds(), 1'000'000'000'000u);

  int ran = 0;
  for (int i = 0; i < 3; ++i) time.mainLoop().post([&] { ++ran; });
  time.runUntilIdle();
  EXPECT_EQ(ran, 3);
  EXPECT_EQ(time.now(), 1000s);

  time.advanceTo(1002s);
  EXPECT_EQ(time.now(), 1002s);
}

TEST_F(VirtualTime, EightSecondTimeoutFiresExactlyAtEightSeconds) {
  bool timedOut = false;
  time.mainLoop().scheduleAfter(8s, [&] { timedOut = true; });
  std::optional<bool> answered;
  Duration answeredAt{};
  auto semaphore = time.makeSemaphore(0);
  auto waiter = time.startThread("waiter", [&] {
    answered = semaphore->waitFor(8s);
    answeredAt = time.now();
  });

  time.advanceBy(7999999us);
  EXPECT_FALSE(timedOut);
  EXPECT_FALSE(answered.has_value());

  time.advanceBy(1us);
  EXPECT_TRUE(timedOut);
  ASSERT_TRUE(answered.has_value());
  EXPECT_FALSE(*answered);
  EXPECT_EQ(answeredAt, 1008s);
  waiter->join();
}

TEST_F(VirtualTime, AdvanceStepsThroughEveryWakeUpOnTheWay) {
  std::vector<long long> firedAt;
  std::function<void()> batch = [&] {
    firedAt.push_back(at());
    time.mainLoop().scheduleAfter(40ms, batch);
  };
  time.mainLoop().scheduleAfter(40ms, batch);
  auto queue = time.makeSerialQueue("com.orvix.test.progress");
  std::vector<long long> queueAt;
  queue->asyncAfter(100ms, [&] { queueAt.push_back(at()); });

  time.advanceBy(200ms);
  EXPECT_EQ(firedAt, (std::vector<long long>{40, 80, 120, 160, 200}));
  EXPECT_EQ(queueAt, (std::vector<long long>{100}));
  EXPECT_EQ(at(), 200);
}

TEST_F(VirtualTime, TimeJumpsOnlyWhenEverySimulatedThreadWaits) {
  std::atomic<bool> busyStarted{false};
  std::vector<Duration> seenWhileBusy;
  auto busy = time.startThread("busy", [&] {
    busyStarted = true;
    for (int i = 0; i < 1000; ++i) seenWhileBusy.push_back(time.clock().uptime());
  });
  Duration sleeperWokeAt{};
  auto sleeper = time.startThread("sleeper", [&] {
    time.sleepFor(5ms);
    sleeperWokeAt = time.now();
  });
  EXPECT_FALSE(busyStarted);  // nothing runs while the test's thread does not wait

  time.advanceBy(1s);
  ASSERT_EQ(seenWhileBusy.size(), 1000u);
  for (Duration seen : seenWhileBusy) ASSERT_EQ(seen, 1000s);
  EXPECT_EQ(sleeperWokeAt, 1000s + 5ms);
  busy->join();
  sleeper->join();
}

TEST_F(VirtualTime, BlockingCallsOfTheTestThreadLetTheOthersRun) {
  auto queue = time.makeSerialQueue("com.orvix.test.slow");
  queue->sync([&] { time.sleepFor(5s); });
  EXPECT_EQ(time.now(), 1005s);

  auto stopper = time.startThread("stopper", [&] {
    time.sleepFor(3s);
    time.mainLoop().stop();
  });
  time.mainLoop().run();
  EXPECT_EQ(time.now(), 1008s);
  stopper->join();
}

TEST_F(VirtualTime, AdvanceLeavesTheMainLoopAloneWhileAnotherThreadRunsIt) {
  bool ranOnRunner = false;
  auto runner = time.startThread("main-runner", [&] { time.mainLoop().run(); });
  time.runUntilIdle();
  time.mainLoop().post([&] { ranOnRunner = time.mainLoop().isCurrent(); });
  time.advanceBy(1ms);
  EXPECT_TRUE(ranOnRunner);
  EXPECT_FALSE(time.mainLoop().isCurrent());
  time.mainLoop().stop();
  runner->join();
}

// Three threads, two queues and main-loop timers competing at the same instants.
std::vector<std::string> runScenario() {
  VirtualTimeSource time;
  Trace trace;
  auto stamp = [&](const std::string& what) {
    trace.add(std::to_string((time.now() - VirtualTimeSource::kStartUptime).count()) + " " + what);
  };
  auto audio = time.makeSerialQueue("audio");
  auto output = time.makeSerialQueue("output");
  std::vector<std::unique_ptr<NamedThread>> threads;
  for (int t = 0; t < 3; ++t) {
    threads.push_back(time.startThread("worker-" + std::to_string(t), [&, t] {
      for (int i = 0; i < 5; ++i) {
        stamp("worker-" + std::to_string(t) + " step " + std::to_string(i));
        audio->async([&, t, i] { stamp("audio " + std::to_string(t) + "." + std::to_string(i)); });
        output->asyncAfter(std::chrono::milliseconds(i),
                           [&, t] { stamp("output from " + std::to_string(t)); });
        time.sleepFor(std::chrono::milliseconds(t + 1));
      }
    }));
    time.mainLoop().scheduleAfter(std::chrono::milliseconds(2 * t),
                                  [&, t] { stamp("main timer " + std::to_string(t)); });
  }
  time.advanceBy(50ms);
  for (auto& thread : threads) thread->join();
  audio->sync([] {});
  output->sync([] {});
  return trace.entries();
}

TEST(VirtualTimeDeterminism, TheSameScenarioInterleavesTheSameWayEveryRun) {
  const std::vector<std::string> first = runScenario();
  ASSERT_GT(first.size(), 40u);
  for (int run = 0; run < 5; ++run) EXPECT_EQ(runScenario(), first) << "run " << run;
}

class VirtualTimeDeathTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(VirtualTimeDeathTest, DeadlockStopsTheTestWithAReportNamingEveryWaiter) {
  EXPECT_DEATH(
      {
        VirtualTimeSource deadlocked;
        auto neverSignalled = deadlocked.makeSemaphore(0);
        auto reader = deadlocked.startThread("stdin-reader", [&] { neverSignalled->wait(); });
        reader->join();
      },
      "virtual time deadlock.*'test' joining thread 'stdin-reader'.*'stdin-reader' waiting on "
      "a semaphore");
}

}  // namespace
}  // namespace orvix::testing
