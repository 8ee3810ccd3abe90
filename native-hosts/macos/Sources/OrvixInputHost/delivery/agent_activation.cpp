#include "OrvixInputHost/delivery/agent_activation.h"

#include <algorithm>
#include <memory>

#include "OrvixInputHost/delivery/agent_accessibility.h"
#include "OrvixInputHost/delivery/agent_text.h"
#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host {

namespace {

constexpr double kLaunchTimeout = 2.0;
constexpr double kReopenTimeout = 1.5;
constexpr double kRaiseTimeout = 1.0;
constexpr double kRunLoopStep = 0.02;

}  // namespace

std::optional<AgentWindowSelection> selectAgentWindow(std::optional<std::size_t> focused,
                                                      std::optional<std::size_t> main,
                                                      std::size_t count) {
  if (count == 0) return std::nullopt;
  if (focused && *focused < count) return AgentWindowSelection{AgentWindowSelection::Kind::focused, *focused};
  if (main && *main < count) return AgentWindowSelection{AgentWindowSelection::Kind::main, *main};
  if (count == 1) return AgentWindowSelection{AgentWindowSelection::Kind::only, 0};
  return std::nullopt;
}

bool AgentActivator::isLiveAgentApplication(const platform::RunningApplication& application) {
  return !application.terminated && application.pid > 0 &&
         env_.desktop.processInfo.isAlive(application.pid);
}

std::optional<platform::RunningApplication> AgentActivator::runningAgent(AgentTarget target) {
  const AgentTargetInfo& info = agentTargetInfo(target);
  const auto running = env_.workspace().runningApplications();
  for (const auto bundleIdentifier : info.bundleIdentifiers) {
    for (const auto& application : running) {
      if (application.bundleIdentifier == bundleIdentifier && isLiveAgentApplication(application)) {
        return application;
      }
    }
  }
  for (const auto& application : running) {
    if (!application.localizedName || !isLiveAgentApplication(application)) continue;
    for (const auto name : info.applicationNames) {
      if (equalsIgnoringCase(*application.localizedName, name)) return application;
    }
  }
  return std::nullopt;
}

std::optional<platform::RunningApplication> AgentActivator::openAndWait(
    const std::string& location, const platform::OpenConfiguration& configuration,
    double seconds) {
  struct Outcome {
    bool done = false;
    std::optional<platform::RunningApplication> application;
  };
  // Shared with the completion, which may still come after the wait gave up.
  auto outcome = std::make_shared<Outcome>();
  env_.workspace().openApplication(location, configuration, [outcome](auto application) {
    outcome->application = std::move(application);
    outcome->done = true;
  });
  const double deadline = env_.now() + seconds;
  while (!outcome->done && env_.now() < deadline) env_.runCurrentRunLoop(kRunLoopStep);
  if (outcome->done && outcome->application && !outcome->application->terminated) {
    return outcome->application;
  }
  return std::nullopt;
}

std::optional<platform::RunningApplication> AgentActivator::launchAgent(AgentTarget target) {
  for (const auto bundleIdentifier : agentTargetInfo(target).bundleIdentifiers) {
    const auto location = env_.workspace().applicationLocation(bundleIdentifier);
    if (!location) continue;
    if (auto launched = openAndWait(*location, platform::OpenConfiguration{}, kLaunchTimeout)) {
      return launched;
    }
  }
  return std::nullopt;
}

std::optional<ProcessId> AgentActivator::agentForegroundPid() {
  const auto front = env_.workspace().frontmostApplication();
  if (!front || !isLiveAgentApplication(*front) || front->hidden) return std::nullopt;
  return front->pid;
}

std::optional<bool> AgentActivator::agentHasNonMinimizedWindow(ProcessId pid) {
  const auto windows = agentElements(env_, env_.ax().applicationElement(pid), "AXWindows");
  if (!windows) return std::nullopt;
  return std::any_of(windows->begin(), windows->end(), [&](const AXElement& window) {
    return agentBoolean(env_, window, "AXMinimized") != true;
  });
}

std::optional<AXElement> AgentActivator::selectedAgentWindow(ProcessId pid) {
  platform::Accessibility& ax = env_.ax();
  const AXElement application = ax.applicationElement(pid);
  const auto focused = agentElement(env_, application, "AXFocusedWindow");
  const auto main = agentElement(env_, application, "AXMainWindow");
  std::vector<AXElement> windows = agentElements(env_, application, "AXWindows").value_or(std::vector<AXElement>{});
  const auto indexOf = [&](const AXElement& window) -> std::optional<std::size_t> {
    const auto it = std::find(windows.begin(), windows.end(), window);
    if (it == windows.end()) return std::nullopt;
    return static_cast<std::size_t>(it - windows.begin());
  };
  for (const auto* extra : {&focused, &main}) {
    if (*extra && !indexOf(**extra)) windows.push_back(**extra);
  }
  const auto selection = selectAgentWindow(focused ? indexOf(*focused) : std::nullopt,
                                           main ? indexOf(*main) : std::nullopt, windows.size());
  if (!selection) {
    // Asked at every poll: said once per command for each window count.
    if (env_.trace.firstTime("window-unresolved-" + std::to_string(windows.size()))) {
      env_.trace.trace({{"stage", "window-unresolved"},
                        {"windowCount", static_cast<std::int64_t>(windows.size())}});
    }
    return std::nullopt;
  }
  return windows[selection->index];
}

bool AgentActivator::prepareAndRaiseAgentWindow(ProcessId pid) {
  const auto window = selectedAgentWindow(pid);
  if (!window) return false;
  platform::Accessibility& ax = env_.ax();
  const bool minimized = agentBoolean(env_, *window, "AXMinimized") == true;
  const BoundedAgentCall bounded(env_, *window);
  if (minimized) ax.setAttributeValue(*window, "AXMinimized", false);
  const platform::AXError raised = ax.performAction(*window, "AXRaise");
  return raised == platform::AXError::success || raised == platform::AXError::actionUnsupported;
}

std::optional<AgentActivation> AgentActivator::activateAgent(AgentTarget target) {
  platform::Workspace& workspace = env_.workspace();
  auto app = runningAgent(target);
  AgentActivationMode mode = AgentActivationMode::coldStart;
  if (app) {
    const auto front = workspace.frontmostApplication();
    const AgentStepDeadline step(env_, env_.now() + kRaiseTimeout);
    const bool inFront = front && front->pid == app->pid && !app->hidden &&
                         agentHasNonMinimizedWindow(app->pid) != false;
    mode = inFront ? AgentActivationMode::foreground : AgentActivationMode::background;
  } else {
    app = launchAgent(target);
    if (!app) return std::nullopt;
  }
  const std::string modeName(traceName(mode));
  env_.trace.trace({{"stage", "activation-begin"}, {"mode", modeName}, {"pid", app->pid}});

  const auto front = workspace.frontmostApplication();
  if (!front || front->pid != app->pid) {
    const auto location = workspace.applicationLocation(app->bundleIdentifier.value_or(""));
    if (location) {
      platform::OpenConfiguration reopen;
      reopen.activates = true;
      reopen.addsToRecentItems = false;
      reopen.createsNewApplicationInstance = false;
      if (auto reopened = openAndWait(*location, reopen, kReopenTimeout)) app = reopened;
    }
  }
  if (const auto current = workspace.runningApplication(app->pid); current && current->hidden) {
    workspace.unhide(app->pid);
  }
  const platform::ActivationOptions options =
      platform::kActivateAllWindows | platform::kActivateIgnoringOtherApps;
  if (!workspace.activate(app->pid, options)) return std::nullopt;

  const double raiseDeadline = env_.now() + kRaiseTimeout;
  {
    const AgentStepDeadline step(env_, raiseDeadline);
    while (!prepareAndRaiseAgentWindow(app->pid) && env_.now() < raiseDeadline) {
      env_.runCurrentRunLoop(kRunLoopStep);
    }
  }
  workspace.activate(app->pid, options);

  const double deadline = env_.now() + agentTargetInfo(target).readinessTimeouts.timeout(mode);
  std::optional<double> inFrontSince;
  for (;;) {
    if (agentForegroundPid() == app->pid) {
      if (!inFrontSince) inFrontSince = env_.now();
      if (env_.now() - *inFrontSince >= agentFrontmostStableDuration) {
        env_.trace.trace({{"stage", "activation-ready"}, {"mode", modeName}, {"pid", app->pid}});
        return AgentActivation{app->pid, mode};
      }
    } else {
      inFrontSince.reset();
    }
    env_.runCurrentRunLoop(kRunLoopStep);
    if (env_.now() >= deadline) break;
  }
  const auto last = workspace.frontmostApplication();
  const auto state = workspace.runningApplication(app->pid).value_or(*app);
  env_.trace.trace({{"stage", "activation-deadline"},
                    {"mode", modeName},
                    {"expectedPid", app->pid},
                    {"workspacePid", last ? last->pid : -1},
                    {"hidden", state.hidden},
                    {"active", state.active},
                    {"live", isLiveAgentApplication(state)}});
  return std::nullopt;
}

}  // namespace orvix::input_host
