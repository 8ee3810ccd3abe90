#pragma once

#include <optional>
#include <string>

#include "common/time/run_loop.h"
#include "common/time/task_queue.h"
#include "common/time/virtual_scheduler.h"

namespace orvix {

// A RunLoop on virtual time. The thread that runs it waits in the scheduler, so a loop with
// nothing to do lets time move on to its next timer or to anybody else's wake-up.
class VirtualRunLoop final : public RunLoop {
 public:
  VirtualRunLoop(detail::VirtualScheduler& scheduler, std::string name);

  void post(Task task) override;
  TimerHandle scheduleAfter(Duration delay, Task task) override;
  void run() override;
  void runFor(Duration duration) override;
  void stop() override;
  bool isCurrent() const override;

  // For the test's thread acting as the thread that owns this loop: runs the loop's work
  // (unless another thread is running the loop or a stop is pending) while time moves to
  // `until`, and returns once nothing else can happen at `until`.
  void pumpUntilIdle(Duration until);

 private:
  class Running;
  void pump(std::optional<Duration> until);
  std::string describeUntil(std::optional<Duration> until) const;

  detail::VirtualScheduler& scheduler_;
  const std::string name_;
  detail::TaskQueue queue_;
  detail::WaitList waiters_;
  detail::Participant* runner_ = nullptr;
  int runDepth_ = 0;
  bool stopRequested_ = false;
};

}  // namespace orvix
