#include "platform/linux/bluetooth/bluez_bluetooth.h"

#include "platform/linux/bluetooth/bluez_central_manager.h"

namespace orvix::platform::linux_bluetooth {

std::shared_ptr<CentralManager> BluezBluetooth::makeCentralManager(
    CentralManagerDelegate& delegate) {
  auto manager = std::make_shared<BluezCentralManager>(mainLoop_, delegate, accessDenied_);
  manager->start();
  return manager;
}

}  // namespace orvix::platform::linux_bluetooth
