#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/time/time_source.h"
#include "platform/bluetooth.h"
#include "platform/simulated/bluetooth/bluetooth_scenario.h"

namespace orvix::platform::simulated {

class SimulatedCharacteristic final : public Characteristic {
 public:
  explicit SimulatedCharacteristic(SimulatedCharacteristicSpec spec) : spec_(spec) {}
  BluetoothUuid uuid() const override { return spec_.uuid; }
  std::uint32_t properties() const override { return spec_.properties; }
  bool isNotifying() const override { return notifying_; }

  const SimulatedCharacteristicSpec& spec() const { return spec_; }
  void setNotifying(bool notifying) { notifying_ = notifying; }

 private:
  SimulatedCharacteristicSpec spec_;
  bool notifying_ = false;
};

class SimulatedService final : public Service {
 public:
  explicit SimulatedService(BluetoothUuid uuid) : uuid_(uuid) {}
  BluetoothUuid uuid() const override { return uuid_; }
  std::vector<std::shared_ptr<Characteristic>> characteristics() const override {
    return characteristics_;
  }
  void setCharacteristics(std::vector<std::shared_ptr<Characteristic>> characteristics) {
    characteristics_ = std::move(characteristics);
  }

 private:
  BluetoothUuid uuid_;
  std::vector<std::shared_ptr<Characteristic>> characteristics_;
};

// One remote device. The same object stands for the device in every discovery and retrieval.
// It models the link state, service and characteristic discovery, subscriptions, writes (with
// confirmations and the readiness for writes without response) and notifications. Every answer
// comes later on the main loop, and only while the peripheral has a delegate.
class SimulatedPeripheral final : public Peripheral,
                                  public std::enable_shared_from_this<SimulatedPeripheral> {
 public:
  SimulatedPeripheral(TimeSource& time, SimulatedDevice device);
  ~SimulatedPeripheral() override;

  BluetoothUuid identifier() const override { return device_.identifier; }
  std::optional<std::string> name() const override { return device_.name; }
  PeripheralState state() const override { return state_; }
  void setDelegate(PeripheralDelegate* delegate) override;

  void discoverServices(const std::vector<BluetoothUuid>& serviceUuids) override;
  std::vector<std::shared_ptr<Service>> services() const override { return services_; }
  void discoverCharacteristics(const std::vector<BluetoothUuid>& characteristicUuids,
                               Service& service) override;
  void setNotifyValue(bool enabled, Characteristic& characteristic) override;
  void writeValue(std::span<const std::uint8_t> bytes, Characteristic& characteristic,
                  WriteType type) override;
  std::size_t maximumWriteValueLength(WriteType type) const override;
  bool canSendWriteWithoutResponse() const override { return writesWithoutResponseAccepted_ > 0; }

  // For the simulated central manager.
  const SimulatedDevice& device() const { return device_; }
  // What the device's next advertisements carry (a renamed device, a changed service list).
  void setAdvertisement(AdvertisementData advertisement) {
    device_.advertisement = std::move(advertisement);
  }
  // Connected, or let go of by the host but not yet by the platform.
  bool holdsLink() const {
    return state_ == PeripheralState::connected || state_ == PeripheralState::disconnecting;
  }
  // Leaving the connected state ends the device's notification streams.
  void setState(PeripheralState state);
  int advertisementsSent = 0;         // picks the next RSSI of the device's cycle
  std::size_t notificationsSent = 0;  // numbers the bytes of generated notifications

  // --- Scripting hooks -------------------------------------------------------------------
  // The device notifies `bytes` on the characteristic `uuid` (when discovered).
  void simulateNotification(const BluetoothUuid& uuid, std::vector<std::uint8_t> bytes,
                            std::optional<BluetoothError> error = std::nullopt);
  // The platform takes `count` more writes without response, then says "not now" until the
  // next call, which also delivers the readiness callback.
  void simulateWriteWithoutResponseCapacity(std::size_t count);
  // The next confirmations of writes with response carry an error.
  void failNextConfirmations(int count) { failingConfirmations_ = count; }
  // The maximum write lengths change during the link (an MTU exchange).
  void setMaximumWriteLengths(std::size_t withResponse, std::size_t withoutResponse) {
    device_.maximumWriteWithResponse = withResponse;
    device_.maximumWriteWithoutResponse = withoutResponse;
  }
  // The device turns notifications off for `uuid` by itself.
  void simulateSubscriptionLost(const BluetoothUuid& uuid);

  // What the host asked of the device.
  struct Write {
    std::vector<std::uint8_t> bytes;
    WriteType type;
  };
  // The last `kMaximumRecordedWrites` writes, oldest first.
  static constexpr std::size_t kMaximumRecordedWrites = 4096;
  const std::deque<Write>& writes() const { return writes_; }
  std::size_t notificationRequests() const { return notificationRequests_; }
  // The subscriptions asked for since the last service discovery, in order.
  const std::vector<BluetoothUuid>& subscriptionOrder() const { return subscriptionOrder_; }

 private:
  TimeSource& time_;
  SimulatedDevice device_;
  PeripheralState state_ = PeripheralState::disconnected;
  PeripheralDelegate* delegate_ = nullptr;
  // Counts the delegate changes; a callback is delivered only to the delegate it was queued for.
  std::uint64_t delegateGeneration_ = 0;
  std::vector<std::shared_ptr<Service>> services_;
  std::shared_ptr<SimulatedCharacteristic> find(const BluetoothUuid& uuid) const;
  // Delivers `call` to the delegate of this moment, `delay` from now, unless that delegate has
  // been cleared or replaced in between.
  template <typename Call>
  void later(Call call, Duration delay = Duration::zero());
  // The next generated notification of `characteristic`, `sent` having gone before.
  void scheduleNotification(const std::shared_ptr<SimulatedCharacteristic>& characteristic,
                            std::size_t sent);
  void stopStreams();

  std::vector<std::shared_ptr<SimulatedCharacteristic>> characteristics_;
  std::deque<Write> writes_;
  std::size_t writesWithoutResponseAccepted_;
  int failingConfirmations_;
  std::vector<TimerHandle> timers_;
  std::size_t notificationRequests_ = 0;
  std::vector<BluetoothUuid> subscriptionOrder_;
};

}  // namespace orvix::platform::simulated
