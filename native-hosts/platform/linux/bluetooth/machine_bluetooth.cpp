#include "platform/machine_bluetooth.h"

#include "platform/linux/bluetooth/bluez_bluetooth.h"

namespace orvix::platform {

std::unique_ptr<Bluetooth> makeMachineBluetooth(RunLoop& mainLoop) {
  return std::make_unique<linux_bluetooth::BluezBluetooth>(mainLoop);
}

}  // namespace orvix::platform
