#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

#include "common/time/time_source.h"
#include "platform/desktop.h"
#include "OrvixInputHost/delivery/agent_trace.h"
#include "OrvixInputHost/delivery/focus_probe.h"
#include "OrvixInputHost/delivery/key_synthesis.h"

namespace orvix::input_host {

// What the agent commit acts through, shared by its three stages. Main thread only.
struct AgentEnvironment {
  platform::Desktop& desktop;
  TimeSource& time;
  FocusProbe& probe;
  KeySynthesis& keys;
  AgentTrace& trace;

  // The end of the step under way (uptime seconds), set by AgentStepDeadline: no accessibility
  // call of the agent's waits past it, so a hung agent costs the step's budget and one call,
  // not the system's default timeout for every call.
  std::optional<double> stepDeadline;

  platform::Accessibility& ax() { return desktop.accessibility; }
  platform::Workspace& workspace() { return desktop.workspace; }
  double now() const { return time.clock().uptimeSeconds(); }
  // The waits run the host's run loop rather than sleep, so an observer callback or an open's
  // completion can run meanwhile.
  void runCurrentRunLoop(double seconds) {
    // Rounded up, and never zero: a remainder below a nanosecond must still let time pass, or
    // a wait for a deadline would spin on the spot.
    const auto step = std::chrono::ceil<Duration>(std::chrono::duration<double>(seconds));
    time.mainLoop().runFor(std::max(step, Duration(1)));
  }
};

// A step's deadline for as long as it runs; a step inside another keeps the earlier one.
class AgentStepDeadline {
 public:
  AgentStepDeadline(AgentEnvironment& environment, double deadline)
      : environment_(environment), outer_(environment.stepDeadline) {
    environment.stepDeadline = outer_ ? std::min(*outer_, deadline) : deadline;
  }
  ~AgentStepDeadline() { environment_.stepDeadline = outer_; }
  AgentStepDeadline(const AgentStepDeadline&) = delete;
  AgentStepDeadline& operator=(const AgentStepDeadline&) = delete;

 private:
  AgentEnvironment& environment_;
  std::optional<double> outer_;
};

}  // namespace orvix::input_host
