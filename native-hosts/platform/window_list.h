#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/process_id.h"

namespace orvix::platform {

// One window on screen as the window server lists it (an entry of CGWindowListCopyWindowInfo).
struct OnScreenWindow {
  ProcessId ownerPid = 0;      // kCGWindowOwnerPID
  std::uint32_t number = 0;    // kCGWindowNumber; 0 is no window
  std::int64_t layer = 0;      // kCGWindowLayer; 0 is where applications' document windows live
};

// The windows on screen, apart from the accessibility interface: the window server knows which
// window is really in front, also when it belongs to a process without accessibility (an
// overlay, a floating panel).
//
// Notes for implementers:
// - On screen only, desktop elements excluded (kCGWindowListOptionOnScreenOnly |
//   kCGWindowListExcludeDesktopElements), in the system's front-to-back order.
// - std::nullopt when the list cannot be read at all; an empty list is a screen without windows.
// - May be called from any thread (the quick-add tap thread and queue).
class WindowList {
 public:
  virtual ~WindowList() = default;
  virtual std::optional<std::vector<OnScreenWindow>> onScreenWindows() = 0;
};

}  // namespace orvix::platform
