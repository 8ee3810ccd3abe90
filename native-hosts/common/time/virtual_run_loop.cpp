#include "common/time/virtual_run_loop.h"

#include <algorithm>

#include "common/time/fail_fast.h"
#include "common/time/relock.h"

namespace orvix {

// Marks `participant` as running the loop for one (possibly nested) run. Entered and left with
// the scheduler's mutex held.
class VirtualRunLoop::Running {
 public:
  Running(VirtualRunLoop& loop, detail::Participant& participant) : loop_(loop) {
    requireOrFail(loop.runDepth_ == 0 || loop.runner_ == &participant,
                  "run loop '" + loop.name_ + "' run from two threads at once");
    loop.runner_ = &participant;
    ++loop.runDepth_;
  }
  ~Running() {
    if (--loop_.runDepth_ == 0) loop_.runner_ = nullptr;
    // The test's thread may be waiting for the loop to become free to pump it.
    loop_.scheduler_.notifyAll(loop_.waiters_);
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  VirtualRunLoop& loop_;
};

VirtualRunLoop::VirtualRunLoop(detail::VirtualScheduler& scheduler, std::string name)
    : scheduler_(scheduler), name_(std::move(name)) {}

void VirtualRunLoop::post(Task task) {
  auto lock = scheduler_.lock();
  queue_.post(std::move(task));
  scheduler_.notifyAll(waiters_);
}

TimerHandle VirtualRunLoop::scheduleAfter(Duration delay, Task task) {
  auto lock = scheduler_.lock();
  TimerHandle handle = queue_.schedule(deadlineAfter(scheduler_.now(), delay), std::move(task));
  scheduler_.notifyAll(waiters_);  // the runner recomputes when it next has to wake
  return handle;
}

void VirtualRunLoop::run() { pump(std::nullopt); }

void VirtualRunLoop::runFor(Duration duration) { pump(deadlineAfter(scheduler_.now(), duration)); }

void VirtualRunLoop::stop() {
  auto lock = scheduler_.lock();
  stopRequested_ = true;
  scheduler_.notifyAll(waiters_);
}

bool VirtualRunLoop::isCurrent() const {
  auto lock = scheduler_.lock();
  return runDepth_ > 0 && runner_ == scheduler_.selfOrNull();
}

void VirtualRunLoop::pump(std::optional<Duration> until) {
  auto lock = scheduler_.lock();
  detail::Participant& me = scheduler_.self();
  Running running(*this, me);
  std::optional<std::uint64_t> lastWork;  // set once `until` has passed
  for (;;) {
    if (stopRequested_) {
      stopRequested_ = false;
      return;
    }
    const Duration now = scheduler_.now();
    if (until && now >= *until && !lastWork) lastWork = queue_.markReady(now);
    if (Task task = queue_.takeNext(now, lastWork)) {
      lock.unlock();
      detail::Relock relock{lock};
      Task current = std::move(task);  // released before relocking: its captures may post
      current();
      continue;
    }
    if (lastWork) return;
    std::optional<Duration> wakeAt = queue_.nextDue();
    if (until) wakeAt = wakeAt ? std::min(*wakeAt, *until) : *until;
    scheduler_.wait(lock, me, &waiters_, wakeAt, std::nullopt, describeUntil(until));
  }
}

void VirtualRunLoop::pumpUntilIdle(Duration until) {
  auto lock = scheduler_.lock();
  detail::Participant& me = scheduler_.self();
  requireOrFail(&me == &scheduler_.controller(),
                "virtual time can be advanced only from the test's own thread");
  for (;;) {
    const bool mayRun = (runDepth_ == 0 || runner_ == &me) && !stopRequested_;
    if (mayRun) {
      if (Task task = queue_.takeNext(scheduler_.now())) {
        Running running(*this, me);
        lock.unlock();
        detail::Relock relock{lock};
        Task current = std::move(task);
        current();
        continue;
      }
    }
    std::optional<Duration> wakeAt = mayRun ? queue_.nextDue() : std::nullopt;
    const Duration idleAt = std::max(until, scheduler_.now());
    if (scheduler_.wait(lock, me, &waiters_, wakeAt, idleAt, "advancing virtual time") ==
        detail::WakeReason::kIdle) {
      return;
    }
  }
}

std::string VirtualRunLoop::describeUntil(std::optional<Duration> until) const {
  return until ? "running loop '" + name_ + "' for a bounded time" : "running loop '" + name_ + "'";
}

}  // namespace orvix
