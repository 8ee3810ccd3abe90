#pragma once

#include "platform/simulated/desktop/desktop_world.h"
#include "platform/workspace.h"

namespace orvix::platform::simulated {

// The workspace of the simulated desktop: applications whose process still runs, and the one
// in front (which follows the focus unless a test sets it apart).
class SimulatedWorkspace final : public Workspace {
 public:
  explicit SimulatedWorkspace(DesktopModel& model) : model_(model) {}

  std::optional<RunningApplication> frontmostApplication() override;
  std::vector<RunningApplication> runningApplications() override;

 private:
  DesktopModel& model_;
};

}  // namespace orvix::platform::simulated
