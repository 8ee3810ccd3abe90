#pragma once

#include <memory>

#include "platform/desktop.h"

namespace orvix::platform {

// The desktop of the machine the program was built for. Which binding stands behind it is
// chosen by ORVIX_PLATFORM (platform/<platform>/desktop/machine_desktop.cpp), never by the
// caller.
class MachineDesktop {
 public:
  virtual ~MachineDesktop() = default;
  virtual Desktop desktop() = 0;
};

std::unique_ptr<MachineDesktop> makeMachineDesktop();

}  // namespace orvix::platform
