#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "common/time/time_types.h"

namespace orvix::detail {

// The real clock's uptime is steady_clock's count, so an uptime converts to a steady time point.
inline Duration realUptime() {
  return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

// Waits on `wake` until notified or until the uptime `deadline` (none: until notified). Each
// wait is capped at an hour so that "forever" deadlines never reach the overflow-prone corners
// of the standard library's timed waits; callers re-check their condition after every return.
inline void waitUntilUptime(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                            std::optional<Duration> deadline) {
  constexpr Duration kLongestSingleWait = std::chrono::hours(1);
  if (!deadline) {
    wake.wait_for(lock, kLongestSingleWait);
    return;
  }
  Duration now = realUptime();
  if (*deadline <= now) return;
  Duration until = *deadline - now < kLongestSingleWait ? *deadline : now + kLongestSingleWait;
  wake.wait_until(lock,
                  std::chrono::steady_clock::time_point(
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(until)));
}

}  // namespace orvix::detail
