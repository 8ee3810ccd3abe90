#pragma once

#include <cstddef>
#include <optional>

#include "platform/workspace.h"
#include "OrvixInputHost/delivery/agent_environment.h"
#include "OrvixInputHost/delivery/agent_target.h"

namespace orvix::input_host {

// The process that was activated and how it was found.
struct AgentActivation {
  ProcessId pid = 0;
  AgentActivationMode mode = AgentActivationMode::coldStart;
};

// Which of the agent's windows the commit works in: the focused one, else the main one, else
// the only one; the index is its place in the window list.
struct AgentWindowSelection {
  enum class Kind { focused, main, only } kind = Kind::only;
  std::size_t index = 0;
};

std::optional<AgentWindowSelection> selectAgentWindow(std::optional<std::size_t> focused,
                                                      std::optional<std::size_t> main,
                                                      std::size_t count);

// Finds or launches the agent application, brings it to the front with a usable window and
// waits until it has stayed there for a short stable period. Main thread only.
class AgentActivator {
 public:
  explicit AgentActivator(AgentEnvironment& environment) : env_(environment) {}

  bool isLiveAgentApplication(const platform::RunningApplication& application);
  std::optional<platform::RunningApplication> runningAgent(AgentTarget target);
  std::optional<platform::RunningApplication> launchAgent(AgentTarget target);
  std::optional<AgentActivation> activateAgent(AgentTarget target);

  // The front application's pid while it is live and not hidden.
  std::optional<ProcessId> agentForegroundPid();
  // Whether any window is not minimized; none when the window list cannot be read.
  std::optional<bool> agentHasNonMinimizedWindow(ProcessId pid);
  bool prepareAndRaiseAgentWindow(ProcessId pid);
  std::optional<AXElement> selectedAgentWindow(ProcessId pid);

 private:
  // Opens the application at `location` and runs the loop until its completion arrived or
  // `seconds` passed; the application it gave when that is still running.
  std::optional<platform::RunningApplication> openAndWait(
      const std::string& location, const platform::OpenConfiguration& configuration,
      double seconds);

  AgentEnvironment& env_;
};

}  // namespace orvix::input_host
