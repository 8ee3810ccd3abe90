#include "platform/simulated/desktop/simulated_workspace.h"

namespace orvix::platform::simulated {

namespace {

RunningApplication describe(const DesktopWorld& world, const ApplicationState& app) {
  return RunningApplication{app.pid,    app.bundleIdentifier, app.localizedName,
                            app.hidden, app.terminated,       world.frontmostApplication == app.pid};
}

bool running(const DesktopWorld& world, const ApplicationState& app) {
  return !app.terminated && world.processAlive(app.pid);
}

// The process starts and the application shows its windows; the first window takes the
// application's focus when the scenario named none.
void launch(DesktopModel& model, ApplicationState& app) {
  DesktopWorld& world = model.world;
  world.processes[app.pid].alive = true;
  app.terminated = false;
  app.hidden = false;
  const ElementState* element = world.element(app.element);
  if (element != nullptr && !element->children.empty()) {
    if (app.focusedWindow == kNoElement) app.focusedWindow = element->children.front();
    if (app.mainWindow == kNoElement) app.mainWindow = element->children.front();
  }
  scheduleLateElements(model, app.pid);
}

}  // namespace

void scheduleAppearance(DesktopModel& model, ElementId id, Duration delay) {
  if (!model.schedule) return;
  model.schedule(delay, [&model, id, lifetime = std::weak_ptr<int>(model.lifetime)] {
    if (lifetime.expired()) return;
    std::lock_guard guard(model.mutex);
    model.world.attach(id);
  });
}

void scheduleLateElements(DesktopModel& model, ProcessId pid) {
  for (const auto& [id, state] : model.world.elements) {
    if (state.pid != pid || state.present || state.appearsAfter <= Duration::zero()) continue;
    scheduleAppearance(model, id, state.appearsAfter);
  }
}

std::optional<RunningApplication> SimulatedWorkspace::frontmostApplication() {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.workspaceQueries;
  if (!world.frontmostApplication) return std::nullopt;
  const ApplicationState* app = world.application(*world.frontmostApplication);
  if (app == nullptr || app->terminated) return std::nullopt;
  return describe(world, *app);
}

std::vector<RunningApplication> SimulatedWorkspace::runningApplications() {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.workspaceQueries;
  std::vector<RunningApplication> running;
  for (const auto& [pid, app] : world.applications) {
    if (!app.terminated) running.push_back(describe(world, app));
  }
  return running;
}

std::optional<RunningApplication> SimulatedWorkspace::runningApplication(ProcessId pid) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.workspaceQueries;
  const ApplicationState* app = world.application(pid);
  if (app == nullptr) return std::nullopt;
  return describe(world, *app);
}

std::optional<std::string> SimulatedWorkspace::applicationLocation(
    std::string_view bundleIdentifier) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.workspaceQueries;
  for (const auto& [pid, app] : world.applications) {
    if (app.location && app.bundleIdentifier == bundleIdentifier) return app.location;
  }
  return std::nullopt;
}

void SimulatedWorkspace::openApplication(const std::string& location,
                                         const OpenConfiguration& configuration,
                                         OpenCompletion completion) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.applicationsOpened;
  ProcessId pid = 0;
  Duration delay{0};
  for (const auto& [appPid, app] : world.applications) {
    if (app.location == location) {
      pid = appPid;
      delay = running(world, app) ? Duration::zero() : app.launchDelay;
    }
  }
  if (!model_.schedule || !model_.postToMainLoop) return;
  DesktopModel& model = model_;
  model_.schedule(delay, [&model, pid, configuration, completion = std::move(completion),
                          lifetime = std::weak_ptr<int>(model_.lifetime)]() mutable {
    if (lifetime.expired()) return;
    std::optional<RunningApplication> opened;
    {
      std::lock_guard guard(model.mutex);
      DesktopWorld& state = model.world;
      if (ApplicationState* app = state.application(pid)) {
        if (!running(state, *app)) launch(model, *app);
        if (configuration.activates && !app->activationRefused) state.bringToFront(*app);
        opened = describe(state, *app);
      }
    }
    model.postToMainLoop([completion = std::move(completion), opened] { completion(opened); });
  });
}

bool SimulatedWorkspace::activate(ProcessId pid, ActivationOptions) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.activations;
  ApplicationState* app = world.application(pid);
  if (app == nullptr || !running(world, *app) || app->activationRefused) return false;
  world.bringToFront(*app);
  return true;
}

bool SimulatedWorkspace::unhide(ProcessId pid) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.unhides;
  ApplicationState* app = world.application(pid);
  if (app == nullptr || !running(world, *app)) return false;
  app->hidden = false;
  return true;
}

}  // namespace orvix::platform::simulated
