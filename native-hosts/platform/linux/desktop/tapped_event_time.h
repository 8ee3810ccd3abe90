#pragma once

#include <X11/X.h>

#include <cstdint>
#include <optional>

namespace orvix::platform::linux_desktop {

// The server time of the tapped event whose callback runs on this thread, if one does.
//
// On macOS the tap sees a key before the application does. X hands the press to the tap and to
// the focused client at once, and the tap's callback runs later still, on its run loop: by then
// the client may already have taken the clipboard for the Control+C being reported. What the
// callback reads from the pasteboard is therefore read as of the event's time.
class TappedEventTime {
 public:
  static std::optional<Time> current() { return current_; }

  // Sets the time for the life of the scope, on this thread only.
  class Scope {
   public:
    explicit Scope(Time time) : previous_(current_) { current_ = time; }
    ~Scope() { current_ = previous_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    std::optional<Time> previous_;
  };

  // Whether `time` is at or after `reference` on the server's 32-bit millisecond clock, which
  // wraps every 49.7 days.
  static bool atOrAfter(Time time, Time reference) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(time) -
                                     static_cast<std::uint32_t>(reference)) >= 0;
  }

 private:
  static inline thread_local std::optional<Time> current_;
};

}  // namespace orvix::platform::linux_desktop
