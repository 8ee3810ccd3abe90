#pragma once

#include <memory>

#include "common/time/run_loop.h"
#include "platform/bluetooth.h"

namespace orvix::platform {

// The Bluetooth stack of the machine the program was built for, delivering its callbacks on
// `mainLoop`, which must outlive it. Which binding stands behind it is chosen by ORVIX_PLATFORM
// (platform/<platform>/bluetooth/machine_bluetooth.cpp), never by the caller.
std::unique_ptr<Bluetooth> makeMachineBluetooth(RunLoop& mainLoop);

}  // namespace orvix::platform
