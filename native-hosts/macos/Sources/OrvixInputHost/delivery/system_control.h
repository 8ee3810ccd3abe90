#pragma once

#include "common/json_wire.h"
#include "platform/input_events.h"
#include "OrvixInputHost/delivery/key_synthesis.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"

namespace orvix::input_host {

// Channel 1: pointer moves, scrolls, clicks and arrow keys on the desktop application's behalf.
// Never answered; anything invalid, and everything before the permission is granted, is ignored.
// Main thread.
class SystemControl {
 public:
  SystemControl(platform::InputEvents& events, KeySynthesis& keys, QuickAdd& quickAdd)
      : events_(events), keys_(keys), quickAdd_(quickAdd) {}

  void execute(const Json& command);

 private:
  void movePointer(std::int64_t deltaX, std::int64_t deltaY);
  void scrollVertically(std::int64_t deltaY);

  platform::InputEvents& events_;
  KeySynthesis& keys_;
  QuickAdd& quickAdd_;
};

}  // namespace orvix::input_host
