#include "platform/linux/bluetooth/unavailable_bluetooth.h"

namespace orvix::platform::linux_bluetooth {

namespace {

class UnsupportedCentralManager final
    : public CentralManager,
      public std::enable_shared_from_this<UnsupportedCentralManager> {
 public:
  explicit UnsupportedCentralManager(CentralManagerDelegate& delegate) : delegate_(&delegate) {}

  CentralState state() const override { return CentralState::unsupported; }
  void setDelegate(CentralManagerDelegate* delegate) override { delegate_ = delegate; }
  bool isScanning() const override { return false; }
  // An unsupported adapter ignores every request, as the platform's does.
  void scanForPeripherals(bool) override {}
  void stopScan() override {}
  std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
      const std::vector<BluetoothUuid>&) override {
    return {};
  }
  std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(
      const std::vector<BluetoothUuid>&) override {
    return {};
  }
  void connect(const std::shared_ptr<Peripheral>&) override {}
  void cancelPeripheralConnection(const std::shared_ptr<Peripheral>&) override {}

  void reportState(RunLoop& loop) {
    loop.post([weak = weak_from_this()] {
      auto self = weak.lock();
      if (self && self->delegate_) self->delegate_->centralManagerDidUpdateState(*self);
    });
  }

 private:
  CentralManagerDelegate* delegate_;
};

}  // namespace

std::shared_ptr<CentralManager> UnavailableBluetooth::makeCentralManager(
    CentralManagerDelegate& delegate) {
  auto manager = std::make_shared<UnsupportedCentralManager>(delegate);
  manager->reportState(mainLoop_);
  return manager;
}

}  // namespace orvix::platform::linux_bluetooth
