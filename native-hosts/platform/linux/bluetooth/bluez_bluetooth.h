#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "common/time/run_loop.h"
#include "platform/bluetooth.h"

namespace orvix::platform::linux_bluetooth {

class BluezCentralManager;

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
  // BlueZ keeps a link after its client is gone: the last calls (a Disconnect) are sent and
  // their answers awaited, for at most `limit` in all.
  void finishBeforeExit(Duration limit) override;

 private:
  RunLoop& mainLoop_;
  std::shared_ptr<std::atomic<bool>> accessDenied_ = std::make_shared<std::atomic<bool>>(false);
  std::vector<std::weak_ptr<BluezCentralManager>> managers_;
};

}  // namespace orvix::platform::linux_bluetooth
