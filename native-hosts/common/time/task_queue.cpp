#include "common/time/task_queue.h"

#include <algorithm>

#include "common/time/fail_fast.h"

namespace orvix::detail {

void TaskQueue::post(Task task) {
  requireOrFail(static_cast<bool>(task), "an empty task was posted to a run loop");
  ready_.push_back(ReadyItem{std::move(task), nullptr, nextReadySequence_++});
}

TimerHandle TaskQueue::schedule(Duration due, Task task) {
  requireOrFail(static_cast<bool>(task), "an empty task was scheduled on a run loop");
  // Cancelled timers stay in the heap until they come due; a caller that keeps scheduling and
  // cancelling long timeouts would otherwise grow it without bound.
  if (timers_.size() >= sweepAtSize_) dropCancelledTimers();
  auto state = std::make_shared<TimerState>(std::move(task));
  timers_.push_back(Timer{due, nextSequence_++, state});
  std::push_heap(timers_.begin(), timers_.end(), FiresLater{});
  return TimerHandle(std::move(state));
}

Task TaskQueue::takeNext(Duration now, std::optional<std::uint64_t> mark) {
  moveDueTimersToReady(now);
  while (!ready_.empty() && (!mark || ready_.front().sequence < *mark)) {
    ReadyItem item = std::move(ready_.front());
    ready_.pop_front();
    if (!item.timer) return std::move(item.task);
    if (item.timer->tryStartFiring()) return item.timer->takeTask();
  }
  return {};
}

std::uint64_t TaskQueue::markReady(Duration now) {
  moveDueTimersToReady(now);
  return nextReadySequence_;
}

void TaskQueue::moveDueTimersToReady(Duration now) {
  while (!timers_.empty() && timers_.front().due <= now) {
    std::pop_heap(timers_.begin(), timers_.end(), FiresLater{});
    if (timers_.back().state->isPending()) {
      ready_.push_back(ReadyItem{nullptr, std::move(timers_.back().state), nextReadySequence_++});
    }
    timers_.pop_back();
  }
}

std::optional<Duration> TaskQueue::nextDue() {
  while (!timers_.empty() && !timers_.front().state->isPending()) {
    std::pop_heap(timers_.begin(), timers_.end(), FiresLater{});
    timers_.pop_back();
  }
  if (timers_.empty()) return std::nullopt;
  return timers_.front().due;
}

bool TaskQueue::idleAt(Duration now) {
  const std::optional<Duration> due = nextDue();
  return ready_.empty() && (!due || *due > now);
}

void TaskQueue::clear() {
  ready_.clear();
  timers_.clear();
}

void TaskQueue::dropCancelledTimers() {
  std::erase_if(timers_, [](const Timer& timer) { return !timer.state->isPending(); });
  std::make_heap(timers_.begin(), timers_.end(), FiresLater{});
  sweepAtSize_ = std::max(kMinimumSweepSize, timers_.size() * 2);
}

}  // namespace orvix::detail
