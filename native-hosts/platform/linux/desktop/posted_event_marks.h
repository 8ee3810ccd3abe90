#pragma once

#include <X11/X.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>

namespace orvix::platform::linux_desktop {

// A key or button transition of the XTest device, as the server reports it.
struct XTestTransition {
  bool button = false;
  unsigned detail = 0;  // the key code, or the device's own button number
  bool down = false;
  bool operator==(const XTestTransition&) const = default;
};

// The marks of the key and button transitions this host injected. X events carry no user data
// field, and every XTest client (xdotool, a VNC server, an on-screen keyboard) injects through
// the same XTest device, so a transition the tap sees from that device is this host's only when
// it is one the host injected: the same key or button, the same way, and stamped by the server
// no earlier than a server time the host read before posting it, and not long after. Anything
// else carries 0, as a user's event does. Injected transitions the tap never sees (a release
// the server drops because that key is not down on the device) wait until a later event shows
// their time has passed; at most 256 wait, and a new tap starts from none.
class PostedEventMarks {
 public:
  // `notBefore`: absent when the server did not tell its time; such transitions are matched by
  // what they are alone.
  void injected(std::int64_t mark, std::optional<Time> notBefore,
                std::span<const XTestTransition> transitions);
  // The mark of `seen`, an XTest transition the server stamped `at`; 0 when the host did not
  // inject it.
  std::int64_t take(const XTestTransition& seen, Time at);
  void clear();

 private:
  struct Waiting {
    std::int64_t mark;
    std::optional<Time> notBefore;
    XTestTransition transition;
  };
  static constexpr std::size_t kMaximumWaiting = 256;
  // Server milliseconds from the time read before a post to the transition's own stamp: the
  // two are consecutive requests, so this covers a busy server many times over.
  static constexpr std::uint32_t kMatchWindow = 1000;

  std::mutex lock_;
  std::deque<Waiting> waiting_;
};

}  // namespace orvix::platform::linux_desktop
