#pragma once

#include <cstdint>
#include <optional>

#include "platform/input_events.h"

namespace orvix::input_host {

// What a key press means to quick-add.
enum class QuickAddKeyGesture {
  keyboardSelection,  // Shift with a navigation key
  selectAll,          // Command-A
  copy,               // a plain Command-C
  modifierKey,        // a modifier pressed alone
  otherKey,
};

QuickAddKeyGesture classifyQuickAddKey(std::int64_t keyCode, platform::EventFlags flags);

// The process the event was addressed to, clamped into the range of a process id.
std::int32_t eventTargetPid(const platform::InputEvent& event);

// Whether a left button release ends a selection: a double or triple click, or a drag of at
// least 8 points from where the button went down (0 without a known press).
bool isPointerSelection(std::optional<platform::ScreenPoint> pressedAt,
                        platform::ScreenPoint releasedAt, std::int64_t clickState);

}  // namespace orvix::input_host
