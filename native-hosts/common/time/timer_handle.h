#pragma once

#include <atomic>
#include <memory>

#include "common/time/time_types.h"

namespace orvix {

namespace detail {

// Shared between a scheduled timer and every copy of its handle. Exactly one of "fire" and
// "cancel" wins the phase change, so a timer either runs once or never.
class TimerState {
 public:
  explicit TimerState(Task task) : task_(std::move(task)) {}

  // Called by the loop right before running the task; false when the timer was cancelled.
  bool tryStartFiring();
  // Moves the task out; only the caller whose tryStartFiring() succeeded may call this.
  Task takeTask() { return std::move(task_); }
  bool tryCancel();
  bool isPending() const { return phase_.load(std::memory_order_acquire) == kPending; }

 private:
  static constexpr int kPending = 0;
  static constexpr int kFired = 1;
  static constexpr int kCancelled = 2;

  std::atomic<int> phase_{kPending};
  Task task_;
};

}  // namespace detail

// Handle to a one-shot timer. Copies refer to the same timer. Dropping the handle does NOT
// cancel the timer: fire-and-forget is the common case.
class TimerHandle {
 public:
  TimerHandle() = default;
  explicit TimerHandle(std::shared_ptr<detail::TimerState> state) : state_(std::move(state)) {}

  // Makes sure the task never runs if it has not started yet. Returns true when this call is
  // what prevented it; false when it already ran or started, was cancelled before, or the
  // handle is empty. Safe from any thread, any number of times, also after the loop is gone.
  // The task's captured objects are released at once.
  bool cancel();

  // True while the task may still run.
  bool isPending() const { return state_ && state_->isPending(); }

 private:
  std::shared_ptr<detail::TimerState> state_;
};

}  // namespace orvix
