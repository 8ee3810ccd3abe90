#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/time/time_source.h"
#include "platform/bluetooth.h"
#include "platform/simulated/bluetooth/bluetooth_scenario.h"

namespace orvix::platform::simulated {

class SimulatedService final : public Service {
 public:
  explicit SimulatedService(BluetoothUuid uuid) : uuid_(uuid) {}
  BluetoothUuid uuid() const override { return uuid_; }
  std::vector<std::shared_ptr<Characteristic>> characteristics() const override {
    return characteristics_;
  }

 private:
  BluetoothUuid uuid_;
  std::vector<std::shared_ptr<Characteristic>> characteristics_;
};

// One remote device. The same object stands for the device in every discovery and retrieval.
// It models the link state and service discovery; characteristic-level GATT traffic is recorded
// but not answered yet.
class SimulatedPeripheral final : public Peripheral,
                                  public std::enable_shared_from_this<SimulatedPeripheral> {
 public:
  SimulatedPeripheral(TimeSource& time, SimulatedDevice device);

  BluetoothUuid identifier() const override { return device_.identifier; }
  std::optional<std::string> name() const override { return device_.name; }
  PeripheralState state() const override { return state_; }
  void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }

  void discoverServices(const std::vector<BluetoothUuid>& serviceUuids) override;
  std::vector<std::shared_ptr<Service>> services() const override { return services_; }
  void discoverCharacteristics(const std::vector<BluetoothUuid>& characteristicUuids,
                               Service& service) override;
  void setNotifyValue(bool enabled, Characteristic& characteristic) override;
  void writeValue(std::span<const std::uint8_t> bytes, Characteristic& characteristic,
                  WriteType type) override;
  std::size_t maximumWriteValueLength(WriteType type) const override;
  bool canSendWriteWithoutResponse() const override { return true; }

  // For the simulated central manager.
  const SimulatedDevice& device() const { return device_; }
  // What the device's next advertisements carry (a renamed device, a changed service list).
  void setAdvertisement(AdvertisementData advertisement) {
    device_.advertisement = std::move(advertisement);
  }
  void setState(PeripheralState state) { state_ = state; }
  int advertisementsSent = 0;  // picks the next RSSI of the device's cycle

  // What the host asked of the device.
  std::size_t writesRequested() const { return writesRequested_; }
  std::size_t notificationRequests() const { return notificationRequests_; }

 private:
  TimeSource& time_;
  SimulatedDevice device_;
  PeripheralState state_ = PeripheralState::disconnected;
  PeripheralDelegate* delegate_ = nullptr;
  std::vector<std::shared_ptr<Service>> services_;
  std::size_t writesRequested_ = 0;
  std::size_t notificationRequests_ = 0;
};

}  // namespace orvix::platform::simulated
