#pragma once

#include <cstdint>

#include "common/time/time_types.h"

namespace orvix {

// Monotonic system uptime. Never goes backwards and never follows wall-clock changes, so it is
// the only clock used for durations, deadlines and timeouts.
class Clock {
 public:
  virtual ~Clock() = default;

  virtual Duration uptime() const = 0;

  // The input host measures in seconds, the capture host in nanoseconds; both read this clock.
  double uptimeSeconds() const { return std::chrono::duration<double>(uptime()).count(); }
  std::uint64_t uptimeNanoseconds() const { return static_cast<std::uint64_t>(uptime().count()); }
};

}  // namespace orvix
