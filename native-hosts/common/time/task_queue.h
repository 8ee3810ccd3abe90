#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "common/time/time_types.h"
#include "common/time/timer_handle.h"

namespace orvix::detail {

// The work of one run loop: posted tasks in FIFO order and one-shot timers ordered by due
// uptime, then by the order they were scheduled. Not thread-safe: the owning loop locks.
//
// A due timer joins the FIFO when the loop next looks for work, behind tasks posted before
// that moment. Whether it still runs is decided only when it reaches the front, so a task
// that runs first at the same instant can still cancel it.
class TaskQueue {
 public:
  void post(Task task);
  TimerHandle schedule(Duration due, Task task);

  // The next task to run at uptime `now`, or an empty function when nothing is ready. With a
  // `mark` from markReady(), only work that was ready at the mark is returned.
  Task takeNext(Duration now, std::optional<std::uint64_t> mark = std::nullopt);

  // Marks what is ready at `now`. A bounded wait that has run out finishes the marked work and
  // returns, so a loop that never falls idle cannot hold it open.
  std::uint64_t markReady(Duration now);

  // When the earliest timer still waiting is due; skips timers cancelled in the meantime.
  std::optional<Duration> nextDue();

  // Nothing is ready to run at `now`.
  bool idleAt(Duration now);

  // Drops every task and timer without running them.
  void clear();

 private:
  struct Timer {
    Duration due;
    std::uint64_t sequence;
    std::shared_ptr<TimerState> state;
  };
  struct FiresLater {
    bool operator()(const Timer& a, const Timer& b) const {
      return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
    }
  };
  struct ReadyItem {
    Task task;                          // a posted task, or
    std::shared_ptr<TimerState> timer;  // a timer that has come due
    std::uint64_t sequence;
  };

  void moveDueTimersToReady(Duration now);
  void dropCancelledTimers();

  static constexpr std::size_t kMinimumSweepSize = 64;

  std::deque<ReadyItem> ready_;
  std::vector<Timer> timers_;  // a heap ordered by FiresLater
  std::uint64_t nextSequence_ = 0;
  std::uint64_t nextReadySequence_ = 0;
  std::size_t sweepAtSize_ = kMinimumSweepSize;
};

}  // namespace orvix::detail
