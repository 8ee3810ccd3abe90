#pragma once

#include <mutex>

namespace orvix::detail {

// Loops run tasks with their lock released; this takes it back when the task ends, also when
// the task throws, so the loop's bookkeeping is never touched unlocked.
struct Relock {
  std::unique_lock<std::mutex>& lock;
  ~Relock() { lock.lock(); }
};

}  // namespace orvix::detail
