#pragma once

#include "common/time/time_types.h"

namespace orvix {

// A counting semaphore. Covers "wait for a condition with a deadline" and "the main thread
// waits while callbacks on other threads collect the answer".
class Semaphore {
 public:
  virtual ~Semaphore() = default;

  virtual void signal() = 0;
  virtual void wait() = 0;
  // False when `timeout` passed without a signal; the count is then left untouched.
  [[nodiscard]] virtual bool waitFor(Duration timeout) = 0;
};

}  // namespace orvix
