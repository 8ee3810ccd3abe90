#pragma once

#include <atomic>
#include <memory>

#include "common/time/run_loop.h"
#include "platform/bluetooth.h"

namespace orvix::platform::linux_bluetooth {

// The machine's Bluetooth through BlueZ's D-Bus API (org.bluez on the system bus, or the bus
// DBUS_SYSTEM_BUS_ADDRESS names). Each central manager opens its own connection on a thread of
// its own and delivers every callback on `mainLoop`. Without a bus, BlueZ or an adapter the
// manager reports "unsupported"; see bluez_mapping.h for every mapping that is not one to one.
class BluezBluetooth final : public Bluetooth {
 public:
  explicit BluezBluetooth(RunLoop& mainLoop) : mainLoop_(mainLoop) {}

  // Allowed until a bus refused this process (the bus policy is BlueZ's only permission).
  BluetoothAuthorization authorization() const override {
    return accessDenied_->load() ? BluetoothAuthorization::denied
                                 : BluetoothAuthorization::allowedAlways;
  }
  std::shared_ptr<CentralManager> makeCentralManager(CentralManagerDelegate& delegate) override;

 private:
  RunLoop& mainLoop_;
  std::shared_ptr<std::atomic<bool>> accessDenied_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace orvix::platform::linux_bluetooth
