#include "platform/simulated/desktop/simulated_window_list.h"

namespace orvix::platform::simulated {

std::optional<std::vector<OnScreenWindow>> SimulatedWindowList::onScreenWindows() {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.windowListReads;
  if (world.windowListFails) return std::nullopt;
  return world.onScreenWindows();
}

}  // namespace orvix::platform::simulated
