#include "platform/simulated/desktop/simulated_workspace.h"

namespace orvix::platform::simulated {

namespace {

RunningApplication describe(const ApplicationState& app) {
  return RunningApplication{app.pid, app.bundleIdentifier, app.localizedName, app.hidden,
                            app.terminated};
}

}  // namespace

std::optional<RunningApplication> SimulatedWorkspace::frontmostApplication() {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.workspaceQueries;
  if (!world.frontmostApplication) return std::nullopt;
  const ApplicationState* app = world.application(*world.frontmostApplication);
  if (app == nullptr || app->terminated) return std::nullopt;
  return describe(*app);
}

std::vector<RunningApplication> SimulatedWorkspace::runningApplications() {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.workspaceQueries;
  std::vector<RunningApplication> running;
  for (const auto& [pid, app] : world.applications) {
    if (!app.terminated) running.push_back(describe(app));
  }
  return running;
}

}  // namespace orvix::platform::simulated
