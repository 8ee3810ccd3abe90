#include "platform/simulated/desktop/simulated_pasteboard.h"

namespace orvix::platform::simulated {

std::int64_t SimulatedPasteboard::clearContents() {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.pasteboardClears;
  world.pasteboard.text.reset();
  world.pasteboard.heldByHost = true;
  return ++world.pasteboard.changeCount;
}

bool SimulatedPasteboard::setString(std::string_view text) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.pasteboardSetStrings;
  if (world.pasteboard.setStringFails) return false;
  if (!world.pasteboard.heldByHost) ++world.pasteboard.changeCount;
  world.pasteboard.heldByHost = false;
  world.pasteboard.text = std::string(text);
  if (!world.pasteboardWriteTriggers.empty()) {
    const FocusTarget next = world.pasteboardWriteTriggers.front();
    world.pasteboardWriteTriggers.erase(world.pasteboardWriteTriggers.begin());
    world.applyFocus(next);
  }
  return true;
}

std::optional<std::string> SimulatedPasteboard::string() {
  std::lock_guard lock(model_.mutex);
  ++model_.world.counters.pasteboardStringReads;
  return model_.world.pasteboard.text;
}

std::int64_t SimulatedPasteboard::changeCount() {
  std::lock_guard lock(model_.mutex);
  ++model_.world.counters.pasteboardChangeCountReads;
  return model_.world.pasteboard.changeCount;
}

}  // namespace orvix::platform::simulated
