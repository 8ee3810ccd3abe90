#include "platform/machine_bluetooth.h"

#include "platform/linux/bluetooth/unavailable_bluetooth.h"

namespace orvix::platform {

std::unique_ptr<Bluetooth> makeMachineBluetooth(RunLoop& mainLoop) {
  return std::make_unique<linux_bluetooth::UnavailableBluetooth>(mainLoop);
}

}  // namespace orvix::platform
