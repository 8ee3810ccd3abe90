#pragma once

#include "platform/window_list.h"

namespace orvix::platform::linux_desktop {

// No window server the host could ask: the list cannot be read.
class UnavailableWindowList final : public WindowList {
 public:
  std::optional<std::vector<OnScreenWindow>> onScreenWindows() override { return std::nullopt; }
};

}  // namespace orvix::platform::linux_desktop
