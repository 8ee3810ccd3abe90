#pragma once

#include <chrono>

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

  platform::Accessibility& ax() { return desktop.accessibility; }
  platform::Workspace& workspace() { return desktop.workspace; }
  double now() const { return time.clock().uptimeSeconds(); }
  // The waits run the host's run loop rather than sleep, so an observer callback or an open's
  // completion can run meanwhile.
  void runCurrentRunLoop(double seconds) {
    time.mainLoop().runFor(std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds)));
  }
};

}  // namespace orvix::input_host
