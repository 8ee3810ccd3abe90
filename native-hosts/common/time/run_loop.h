#pragma once

#include "common/time/time_types.h"
#include "common/time/timer_handle.h"

namespace orvix {

// A run loop runs tasks and timers on the thread that runs it, one at a time.
//
// - post() from any thread; tasks run in the order they were posted.
// - scheduleAfter() arms a one-shot timer; timers due at the same instant fire in the order
//   they were scheduled. A timer cancelled before it starts never runs.
// - run() works until stop(); runFor() works for a bounded time (a short nested wait on the
//   main thread, e.g. letting an application react to a paste). Both may be nested on the same
//   thread; running one loop from two threads at once is a fault and stops the process.
// - stop() from any thread ends the innermost run()/runFor() after its current task. A stop()
//   while nothing runs the loop makes the next run()/runFor() return at once.
// - Work still pending when a run returns stays queued for the next run. Destroying the loop
//   discards it without running it.
class RunLoop {
 public:
  virtual ~RunLoop() = default;

  virtual void post(Task task) = 0;
  virtual TimerHandle scheduleAfter(Duration delay, Task task) = 0;

  virtual void run() = 0;
  // Returns once `duration` has passed, after running every task and timer ready by then.
  // Work that becomes ready later is left for the next run, so a loop that never falls idle
  // cannot hold a bounded wait open.
  virtual void runFor(Duration duration) = 0;
  virtual void stop() = 0;

  // True on the thread that is inside run()/runFor() of this loop right now.
  virtual bool isCurrent() const = 0;

  // Lends the loop's turn: when nothing is running or ready, runs `task` on the calling thread,
  // and the loop starts nothing else until it returns. False, without running it, otherwise. A
  // loop on virtual time never lends: its threads are simulated, and the hand-over is theirs.
  virtual bool runHereIfIdle(const Task& /*task*/) { return false; }
};

}  // namespace orvix
