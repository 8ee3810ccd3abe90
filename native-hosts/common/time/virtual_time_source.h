#pragma once

#include <memory>
#include <string>

#include "common/time/time_source.h"
#include "common/time/virtual_run_loop.h"
#include "common/time/virtual_scheduler.h"

namespace orvix {

class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(const detail::VirtualScheduler& scheduler) : scheduler_(scheduler) {}
  Duration uptime() const override { return scheduler_.now(); }

 private:
  const detail::VirtualScheduler& scheduler_;
};

// Deterministic time and threads for tests.
//
// The thread that constructs the source is the test's thread and plays the host's main thread.
// Time starts at kStartUptime (so code that subtracts durations never goes below zero) and
// moves only while the test's thread waits: in advanceBy()/advanceTo()/runUntilIdle(), or in a
// blocking call of its own (mainLoop().run(), a sync(), sleepFor(), a semaphore wait). Threads
// and queues made here are simulated: one runs at a time, in the order they became ready, and
// time jumps to the next wake-up only when all of them wait. If all wait and nothing is
// scheduled, the process stops with a report naming each waiter.
//
// Every loop, queue, semaphore and thread made here must be gone before the source is.
class VirtualTimeSource final : public TimeSource {
 public:
  static constexpr Duration kStartUptime = std::chrono::seconds(1000);

  VirtualTimeSource();

  const Clock& clock() const override { return clock_; }
  RunLoop& mainLoop() override { return mainLoop_; }
  std::unique_ptr<RunLoop> makeRunLoop(std::string name) override;
  void sleepFor(Duration duration) override;
  std::unique_ptr<Semaphore> makeSemaphore(int initialCount) override;
  std::unique_ptr<NamedThread> startThread(std::string name, std::function<void()> body) override;

  // Test controls; callable only from the test's thread.
  Duration now() const { return scheduler_.now(); }
  // Runs everything due up to `uptime`, stepping time through each wake-up, including the main
  // loop's tasks and timers unless another thread runs that loop. Returns with now() ==
  // `uptime` once nothing else can happen at that instant.
  void advanceTo(Duration uptime);
  void advanceBy(Duration duration) { advanceTo(deadlineAfter(now(), duration)); }
  // Runs everything that can run without time moving.
  void runUntilIdle() { advanceTo(now()); }

 private:
  detail::VirtualScheduler scheduler_;  // first member: outlives everything that uses it
  VirtualClock clock_;
  VirtualRunLoop mainLoop_;
};

}  // namespace orvix
