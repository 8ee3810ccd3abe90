#pragma once

#include <string>

namespace orvix {

// A thread started through a TimeSource (a standard-input reader, an event-tap thread that
// runs its own RunLoop). Under virtual time it is a simulated thread.
class NamedThread {
 public:
  virtual ~NamedThread() = default;  // joins when the owner has not

  virtual const std::string& name() const = 0;
  // Waits for the body to return. Idempotent; joining from the thread itself is a fault.
  virtual void join() = 0;
};

}  // namespace orvix
