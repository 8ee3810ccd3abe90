#include "common/time/timer_handle.h"

namespace orvix {
namespace detail {

bool TimerState::tryStartFiring() {
  int expected = kPending;
  return phase_.compare_exchange_strong(expected, kFired, std::memory_order_acq_rel);
}

bool TimerState::tryCancel() {
  int expected = kPending;
  if (!phase_.compare_exchange_strong(expected, kCancelled, std::memory_order_acq_rel)) {
    return false;
  }
  // The loop never touches the task of a cancelled timer, so releasing its captures here
  // cannot race with it, and a task that holds its owner alive stops doing so now.
  task_ = nullptr;
  return true;
}

}  // namespace detail

bool TimerHandle::cancel() { return state_ && state_->tryCancel(); }

}  // namespace orvix
