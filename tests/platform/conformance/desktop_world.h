#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/time/run_loop.h"
#include "platform/desktop.h"

namespace orvix::platform::conformance {

// A desktop with one application in front whose window holds a focused, empty text entry, a
// password entry and a button: the simulated desktop, or a real one behind the X11/AT-SPI
// binding. The same test bodies run on both.
class DesktopWorld {
 public:
  virtual ~DesktopWorld() = default;
  virtual Desktop desktop() = 0;
  virtual ProcessId applicationPid() = 0;
  // The loop event taps deliver on.
  virtual RunLoop& loop() = 0;
  // Runs the loop until `condition` holds: on virtual time for the simulated desktop, for at
  // most a few seconds of the real application's time otherwise. False if it never held.
  virtual bool waitFor(const std::function<bool()>& condition) = 0;
};

std::unique_ptr<DesktopWorld> makeSimulatedWorld();
// Fails the calling test (and answers null) when no fixture desktop was started around it.
std::unique_ptr<DesktopWorld> makeX11World();

}  // namespace orvix::platform::conformance
