#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "common/time/time_source.h"

namespace orvix::capture {

// Runs the controller's asynchronous work (start-up, stop, stream recovery) each on a thread of
// its own. Finished threads are reaped whenever a new one starts, so an hour of recoveries does
// not pile up threads; the destructor waits for every one still running.
class TaskRunner {
 public:
  explicit TaskRunner(TimeSource& time) : time_(time) {}
  ~TaskRunner() { joinAll(); }
  TaskRunner(const TaskRunner&) = delete;
  TaskRunner& operator=(const TaskRunner&) = delete;

  void run(std::string name, std::function<void()> body);
  // Joins the tasks that have finished; the rest, the caller's own among them, run on.
  void joinFinished();
  // Waits for every task; must not be called from one of them.
  void joinAll();

 private:
  struct Task {
    std::unique_ptr<NamedThread> thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  TimeSource& time_;
  std::mutex mutex_;
  std::list<Task> tasks_;
};

}  // namespace orvix::capture
