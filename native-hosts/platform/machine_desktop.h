#pragma once

#include <functional>
#include <memory>

#include "common/time/time_source.h"
#include "platform/desktop.h"

namespace orvix::platform {

// The desktop of the machine the program was built for. Which binding stands behind it is
// chosen by ORVIX_PLATFORM (platform/<platform>/desktop/machine_desktop.cpp), never by the
// caller.
class MachineDesktop {
 public:
  virtual ~MachineDesktop() = default;
  virtual Desktop desktop() = 0;
  // Called once, on any thread, when the desktop session the binding talks to has gone away
  // for good (an X server that ended); the program should end as it does at the end of its
  // input. A desktop that cannot go away under the process never calls it.
  virtual void onSessionLost(std::function<void()> handler) { (void)handler; }
};

// Answers that come later (an application's launch) run on `time`'s main loop, which must
// outlive the desktop.
std::unique_ptr<MachineDesktop> makeMachineDesktop(TimeSource& time);

}  // namespace orvix::platform
