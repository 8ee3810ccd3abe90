#pragma once

#include <string>

#include "common/time/time_types.h"
#include "common/time/timer_handle.h"

namespace orvix {

// A labelled serial queue in the manner of a GCD serial dispatch queue: tasks never overlap
// and run in submission order, on a thread of the queue's own.
//
// Destroying a queue waits for the task that is running and discards every task and delayed
// task that has not started. To drain, call sync([] {}) before destroying it.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;

  virtual const std::string& label() const = 0;

  virtual void async(Task task) = 0;
  virtual TimerHandle asyncAfter(Duration delay, Task task) = 0;

  // Runs `task` on the queue and returns once it ran; its side effects are visible to the
  // caller, and an exception it throws is rethrown here. A task of this queue calling sync()
  // on the same queue would wait for itself forever: that stops the process instead.
  virtual void sync(const Task& task) = 0;

  // When the queue is idle, runs `task` on the calling thread as the queue's task, as sync()
  // does, and returns true; otherwise runs nothing and returns false. For a producer that must
  // never wait for the queue, and would rather not wake its thread for every piece when it
  // need not. Under virtual time the queue's thread is simulated and never lends its turn.
  virtual bool runHereIfIdle(const Task& task) = 0;

  // True inside a task of this queue.
  virtual bool isCurrent() const = 0;
};

}  // namespace orvix
