#pragma once

#include "platform/simulated/desktop/desktop_world.h"
#include "platform/window_list.h"

namespace orvix::platform::simulated {

class SimulatedWindowList final : public WindowList {
 public:
  explicit SimulatedWindowList(DesktopModel& model) : model_(model) {}
  std::optional<std::vector<OnScreenWindow>> onScreenWindows() override;

 private:
  DesktopModel& model_;
};

}  // namespace orvix::platform::simulated
