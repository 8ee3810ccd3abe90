#pragma once

#include <cstdint>
#include <optional>

#include "platform/input_events.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"

namespace orvix::input_host {

// Posts synthetic keys and clicks at the hardware-input level, as if the user typed or clicked.
// Every key carries one of the host's marks in its source user-data field so that the host's
// own event tap can tell it from the user's. Callable from any thread; holds no state.
class KeySynthesis {
 public:
  KeySynthesis(platform::InputEvents& events, QuickAdd& quickAdd)
      : events_(events), quickAdd_(quickAdd) {}

  // One key press and release. False when the events could not be created (nothing posted).
  bool postKey(std::uint16_t keyCode, platform::EventFlags flags = 0, bool quickAddCopy = false);
  // One left click at `point`, or where the pointer is when none is given.
  bool postLeftClick(std::optional<platform::ScreenPoint> point = std::nullopt);

 private:
  platform::InputEvents& events_;
  QuickAdd& quickAdd_;
};

}  // namespace orvix::input_host
