#include "common/time/real_run_loop.h"

#include <algorithm>

#include "common/time/fail_fast.h"
#include "common/time/real_wait.h"
#include "common/time/relock.h"

namespace orvix {

RealRunLoop::RealRunLoop(std::string name) : name_(std::move(name)) {}

void RealRunLoop::post(Task task) {
  std::lock_guard lock(mutex_);
  queue_.post(std::move(task));
  wake_.notify_all();
}

TimerHandle RealRunLoop::scheduleAfter(Duration delay, Task task) {
  std::lock_guard lock(mutex_);
  TimerHandle handle = queue_.schedule(deadlineAfter(detail::realUptime(), delay), std::move(task));
  wake_.notify_all();  // the runner may be sleeping until a later timer
  return handle;
}

void RealRunLoop::run() { pump(std::nullopt); }

void RealRunLoop::runFor(Duration duration) { pump(deadlineAfter(detail::realUptime(), duration)); }

void RealRunLoop::stop() {
  std::lock_guard lock(mutex_);
  stopRequested_ = true;
  wake_.notify_all();
}

bool RealRunLoop::isCurrent() const {
  std::lock_guard lock(mutex_);
  return runDepth_ > 0 && runner_ == std::this_thread::get_id();
}

bool RealRunLoop::runHereIfIdle(const Task& task) {
  {
    std::lock_guard lock(mutex_);
    if (lent_ || tasksRunning_ > 0 || !queue_.idleAt(detail::realUptime())) return false;
    lent_ = true;
  }
  struct GiveBack {
    RealRunLoop& loop;
    ~GiveBack() {
      std::lock_guard lock(loop.mutex_);
      loop.lent_ = false;
      // Only a runner that found work while the turn was lent is woken: an idle one sleeps on.
      if (loop.awaitingTurn_) loop.wake_.notify_all();
    }
  } giveBack{*this};
  task();
  return true;
}

void RealRunLoop::pump(std::optional<Duration> until) {
  std::unique_lock lock(mutex_);
  const auto self = std::this_thread::get_id();
  requireOrFail(runDepth_ == 0 || runner_ == self,
                "run loop '" + name_ + "' run from two threads at once");
  runner_ = self;
  ++runDepth_;
  struct LeaveRun {
    RealRunLoop& loop;
    ~LeaveRun() { --loop.runDepth_; }
  } leave{*this};

  std::optional<std::uint64_t> lastWork;  // set once `until` has passed
  for (;;) {
    if (stopRequested_) {
      stopRequested_ = false;
      return;
    }
    if (lent_) {
      awaitingTurn_ = true;
      wake_.wait(lock);
      awaitingTurn_ = false;
      continue;
    }
    const Duration now = detail::realUptime();
    if (until && now >= *until && !lastWork) lastWork = queue_.markReady(now);
    if (Task task = queue_.takeNext(now, lastWork)) {
      ++tasksRunning_;
      struct Ran {
        int& running;
        ~Ran() { --running; }  // after the relock below
      } ran{tasksRunning_};
      lock.unlock();
      detail::Relock relock{lock};
      Task running = std::move(task);  // released before relocking: its captures may post
      running();
      continue;
    }
    if (lastWork) return;
    std::optional<Duration> wakeAt = queue_.nextDue();
    if (until) wakeAt = wakeAt ? std::min(*wakeAt, *until) : *until;
    detail::waitUntilUptime(wake_, lock, wakeAt);
  }
}

}  // namespace orvix
