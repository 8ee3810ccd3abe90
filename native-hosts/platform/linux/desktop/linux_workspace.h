#pragma once

#include "platform/workspace.h"

namespace orvix::platform::linux_desktop {

// No desktop session the host could ask: no application is in front and none is listed.
class LinuxWorkspace final : public Workspace {
 public:
  std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
  std::vector<RunningApplication> runningApplications() override { return {}; }
};

}  // namespace orvix::platform::linux_desktop
