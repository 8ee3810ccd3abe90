#pragma once

#include <cstdint>
#include <optional>

#include "platform/accessibility.h"

namespace orvix::input_host {

using platform::AXElement;
using platform::ProcessId;

// Where the user is working.
struct ForegroundContext {
  ProcessId pid = 0;
  std::optional<std::uint32_t> windowNumber;  // filled only by the quick-add probes
  std::optional<AXElement> accessibilityWindow;

  // Same application; and the same window by window number when both have one, else by
  // accessibility window when both have one.
  bool matches(const ForegroundContext& other) const {
    if (pid != other.pid) return false;
    if (windowNumber && other.windowNumber) return *windowNumber == *other.windowNumber;
    if (accessibilityWindow && other.accessibilityWindow) {
      return *accessibilityWindow == *other.accessibilityWindow;
    }
    return true;
  }
};

// A confirmed reading of the keyboard focus.
struct SystemFocus {
  ForegroundContext context;
  std::optional<AXElement> element;  // absent when the application reports no focused element
};

// Whether the focused element takes text. Written on the wire by the capture command as
// "editable", "no-target", "protected" and "context-only".
enum class PasteTargetDisposition { acceptsInput, noInput, protectedTarget, unknown };

}  // namespace orvix::input_host
