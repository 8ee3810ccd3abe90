#pragma once

#include "platform/simulated/desktop/desktop_world.h"
#include "platform/workspace.h"

namespace orvix::platform::simulated {

// The workspace of the simulated desktop: applications whose process still runs, and the one
// in front (which follows the focus unless a test sets it apart). An installed application
// that is not running is launched by openApplication after its launch delay; completions run
// on the host's main loop.
class SimulatedWorkspace final : public Workspace {
 public:
  explicit SimulatedWorkspace(DesktopModel& model) : model_(model) {}

  std::optional<RunningApplication> frontmostApplication() override;
  std::vector<RunningApplication> runningApplications() override;
  std::optional<RunningApplication> runningApplication(ProcessId pid) override;
  std::optional<std::string> applicationLocation(std::string_view bundleIdentifier) override;
  void openApplication(const std::string& location, const OpenConfiguration& configuration,
                       OpenCompletion completion) override;
  bool activate(ProcessId pid, ActivationOptions options) override;
  bool unhide(ProcessId pid) override;

 private:
  DesktopModel& model_;
};

// Arms the appearance of one late element after `delay`. Callers hold the mutex.
void scheduleAppearance(DesktopModel& model, ElementId id, Duration delay);
// Arms the appearance of the application's late elements, counted from now. Callers hold the
// mutex.
void scheduleLateElements(DesktopModel& model, ProcessId pid);

}  // namespace orvix::platform::simulated
