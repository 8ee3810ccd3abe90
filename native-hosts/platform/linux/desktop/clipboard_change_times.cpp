#include "platform/linux/desktop/clipboard_change_times.h"

namespace orvix::platform::linux_desktop {

void ClipboardChangeTimes::record(std::optional<Time> serverTime, bool own,
                                  Clock::time_point now) {
  forgetOld(now);
  if (changes_.size() == kMaximumRemembered) changes_.pop_front();
  changes_.push_back(Change{serverTime, own, now});
}

std::int64_t ClipboardChangeTimes::unseenAsOf(Time asOf, Clock::time_point now) {
  forgetOld(now);
  std::int64_t unseen = 0;
  for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
    if (!atOrAfter(*change, asOf)) continue;
    if (change->own) break;
    ++unseen;
  }
  return unseen;
}

void ClipboardChangeTimes::forgetOld(Clock::time_point now) {
  while (!changes_.empty() && now - changes_.front().recordedAt > kRemembered) {
    changes_.pop_front();
  }
}

bool ClipboardChangeTimes::atOrAfter(const Change& change, Time asOf) {
  if (!change.serverTime) return true;
  const std::uint32_t later =
      static_cast<std::uint32_t>(*change.serverTime) - static_cast<std::uint32_t>(asOf);
  return later <= static_cast<std::uint32_t>(
                      std::chrono::milliseconds(kRemembered).count());
}

}  // namespace orvix::platform::linux_desktop
