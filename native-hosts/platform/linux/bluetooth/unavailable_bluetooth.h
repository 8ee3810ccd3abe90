#pragma once

#include <memory>

#include "common/time/run_loop.h"
#include "platform/bluetooth.h"

namespace orvix::platform::linux_bluetooth {

// This build has no binding to the machine's Bluetooth stack yet. It tells the truth through the
// platform's own vocabulary: there is no permission to ask for, and every central manager
// reports the adapter as unsupported, so the host says so on the wire instead of pretending to
// scan.
class UnavailableBluetooth final : public Bluetooth {
 public:
  explicit UnavailableBluetooth(RunLoop& mainLoop) : mainLoop_(mainLoop) {}

  BluetoothAuthorization authorization() const override {
    return BluetoothAuthorization::allowedAlways;
  }
  std::shared_ptr<CentralManager> makeCentralManager(CentralManagerDelegate& delegate) override;

 private:
  RunLoop& mainLoop_;
};

}  // namespace orvix::platform::linux_bluetooth
