#pragma once

#include <chrono>
#include <functional>

namespace orvix {

// Every duration and uptime in the hosts is counted in nanoseconds, so the capture host's
// 64-bit nanosecond timestamps and the input host's seconds come from the same number.
using Duration = std::chrono::nanoseconds;

// A unit of work handed to a run loop, a serial queue or a timer. Tasks must not throw: a task
// that throws ends the thread that runs it, as an uncaught exception in a dispatch block would.
using Task = std::function<void()>;

// Adds a delay to an uptime without overflowing: "wait forever" is often written as
// Duration::max(), and a wrapped deadline would fire at once. Negative delays count as zero.
inline Duration deadlineAfter(Duration now, Duration delay) {
  if (delay <= Duration::zero()) return now;
  if (delay > Duration::max() - now) return Duration::max();
  return now + delay;
}

}  // namespace orvix
