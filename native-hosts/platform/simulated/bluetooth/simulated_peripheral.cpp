#include "platform/simulated/bluetooth/simulated_peripheral.h"

#include <algorithm>

namespace orvix::platform::simulated {

SimulatedPeripheral::SimulatedPeripheral(TimeSource& time, SimulatedDevice device)
    : time_(time), device_(std::move(device)) {}

void SimulatedPeripheral::discoverServices(const std::vector<BluetoothUuid>& serviceUuids) {
  services_.clear();
  for (const auto& uuid : device_.gattServices) {
    const bool wanted = serviceUuids.empty() || std::find(serviceUuids.begin(), serviceUuids.end(),
                                                          uuid) != serviceUuids.end();
    if (wanted) services_.push_back(std::make_shared<SimulatedService>(uuid));
  }
  // Callbacks come later on the main loop, and only while someone still listens.
  time_.mainLoop().post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->delegate_) self->delegate_->didDiscoverServices(*self, std::nullopt);
  });
}

void SimulatedPeripheral::discoverCharacteristics(const std::vector<BluetoothUuid>&,
                                                  Service& service) {
  auto target = std::find_if(services_.begin(), services_.end(),
                             [&](const auto& s) { return s.get() == &service; });
  if (target == services_.end()) return;
  time_.mainLoop().post([weak = weak_from_this(), kept = *target] {
    auto self = weak.lock();
    if (self && self->delegate_)
      self->delegate_->didDiscoverCharacteristics(*self, *kept, std::nullopt);
  });
}

void SimulatedPeripheral::setNotifyValue(bool, Characteristic&) { ++notificationRequests_; }

void SimulatedPeripheral::writeValue(std::span<const std::uint8_t>, Characteristic&, WriteType) {
  ++writesRequested_;
}

std::size_t SimulatedPeripheral::maximumWriteValueLength(WriteType type) const {
  return type == WriteType::withResponse ? 512 : 244;
}

}  // namespace orvix::platform::simulated
