#pragma once

#include <X11/X.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace orvix::platform::linux_desktop {

// The latest changes of the CLIPBOARD's owner, in the order they happened, with their server
// times: what a count read from a tapped event's callback leaves out (tapped_event_time.h).
//
// A callback may run well after its event, and by then both the application that got the key
// and this process may have changed the clipboard. A change another owner made at or after the
// event can be the copy the event asked for, so the count as of the event leaves it out; but
// once this process changed the clipboard at or after the event as well, what the clipboard
// shows is this process's and no longer anything the event led to: the changes before that one
// stay in the count, and the copy sees nothing of its own.
//
// Server times are 32-bit milliseconds that wrap every 49.7 days. Only changes made within the
// last `kRemembered` (by this machine's clock) are kept, and a change counts as at or after an
// event only when it is at most that much later, so a change weeks old is never taken for one
// made after a recent event.
class ClipboardChangeTimes {
 public:
  using Clock = std::chrono::steady_clock;
  // Far longer than a callback lags behind its event; far shorter than half the wrap.
  static constexpr std::chrono::seconds kRemembered{30};

  // `serverTime` absent: this process's change whose time the server did not tell; it is
  // taken as made after any event.
  void record(std::optional<Time> serverTime, bool own, Clock::time_point now);
  // How many of the changes a count read as of an event at `asOf` leaves out.
  std::int64_t unseenAsOf(Time asOf, Clock::time_point now);

 private:
  struct Change {
    std::optional<Time> serverTime;
    bool own;
    Clock::time_point recordedAt;
  };
  static constexpr std::size_t kMaximumRemembered = 64;

  void forgetOld(Clock::time_point now);
  static bool atOrAfter(const Change& change, Time asOf);

  std::deque<Change> changes_;
};

}  // namespace orvix::platform::linux_desktop
