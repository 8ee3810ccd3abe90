#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/time/run_loop.h"
#include "common/time/task_queue.h"

namespace orvix {

// A RunLoop on real threads and steady-clock time. An idle loop sleeps on a condition
// variable until the next timer or the next post; it never polls.
class RealRunLoop final : public RunLoop {
 public:
  explicit RealRunLoop(std::string name);

  void post(Task task) override;
  TimerHandle scheduleAfter(Duration delay, Task task) override;
  void run() override;
  void runFor(Duration duration) override;
  void stop() override;
  bool isCurrent() const override;
  bool runHereIfIdle(const Task& task) override;

 private:
  void pump(std::optional<Duration> until);

  const std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  detail::TaskQueue queue_;
  std::thread::id runner_;
  int runDepth_ = 0;
  // Tasks of this loop under way (more than one only in nested runs), and whether a caller has
  // borrowed the loop's turn: while either holds, the loop is not idle.
  int tasksRunning_ = 0;
  bool lent_ = false;
  bool awaitingTurn_ = false;
  bool stopRequested_ = false;
};

}  // namespace orvix
