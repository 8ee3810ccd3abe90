#include "platform/simulated/bluetooth/simulated_peripheral.h"

#include <algorithm>

namespace orvix::platform::simulated {

namespace {

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

}  // namespace

SimulatedPeripheral::SimulatedPeripheral(TimeSource& time, SimulatedDevice device)
    : time_(time),
      device_(std::move(device)),
      writesWithoutResponseAccepted_(
          device_.writeWithoutResponseBurst > 0 ? device_.writeWithoutResponseBurst : kNoLimit),
      failingConfirmations_(device_.confirmationErrors) {}

SimulatedPeripheral::~SimulatedPeripheral() {
  for (auto& timer : timers_) timer.cancel();
}

void SimulatedPeripheral::setState(PeripheralState state) {
  state_ = state;
  if (state != PeripheralState::connected) stopStreams();
}

void SimulatedPeripheral::stopStreams() {
  for (auto& timer : timers_) timer.cancel();
  timers_.clear();
}

void SimulatedPeripheral::scheduleNotification(
    const std::shared_ptr<SimulatedCharacteristic>& characteristic, std::size_t sent) {
  const auto& spec = characteristic->spec();
  if (spec.notifyInterval <= Duration::zero()) return;
  if (spec.notifyLimit != 0 && sent >= spec.notifyLimit) return;  // the device falls silent
  std::erase_if(timers_, [](const TimerHandle& t) { return !t.isPending(); });
  timers_.push_back(time_.mainLoop().scheduleAfter(
      spec.notifyInterval, [weak = weak_from_this(), characteristic, sent] {
        auto self = weak.lock();
        if (!self || self->state_ != PeripheralState::connected || !characteristic->isNotifying()) {
          return;
        }
        // Bytes count on across packets, so a receiver can tell a lost or repeated one.
        std::vector<std::uint8_t> value(characteristic->spec().notifyBytes);
        for (auto& byte : value) byte = static_cast<std::uint8_t>(self->notificationsSent++);
        self->scheduleNotification(characteristic, sent + 1);
        if (self->delegate_) {
          self->delegate_->didUpdateValue(*self, *characteristic, value, std::nullopt);
        }
      }));
}

void SimulatedPeripheral::setDelegate(PeripheralDelegate* delegate) {
  if (delegate != delegate_) ++delegateGeneration_;
  delegate_ = delegate;
}

template <typename Call>
void SimulatedPeripheral::later(Call call, Duration delay) {
  // Callbacks come later on the main loop, and only to the listener they were meant for: one
  // set again for a new link to this device never hears what was on its way to the old one.
  auto deliver = [weak = weak_from_this(), generation = delegateGeneration_,
                  call = std::move(call)] {
    auto self = weak.lock();
    if (self && self->delegate_ && self->delegateGeneration_ == generation) {
      call(*self, *self->delegate_);
    }
  };
  if (delay <= Duration::zero()) {
    time_.mainLoop().post(std::move(deliver));
    return;
  }
  // Delayed answers belong to the link: they are dropped with it.
  std::erase_if(timers_, [](const TimerHandle& t) { return !t.isPending(); });
  timers_.push_back(time_.mainLoop().scheduleAfter(delay, std::move(deliver)));
}

void SimulatedPeripheral::discoverServices(const std::vector<BluetoothUuid>& serviceUuids) {
  // A new GATT setup: what the last one subscribed is forgotten.
  services_.clear();
  characteristics_.clear();
  subscriptionOrder_.clear();
  for (const auto& uuid : device_.gattServices) {
    const bool wanted = serviceUuids.empty() || std::find(serviceUuids.begin(), serviceUuids.end(),
                                                          uuid) != serviceUuids.end();
    if (wanted) services_.push_back(std::make_shared<SimulatedService>(uuid));
  }
  std::optional<BluetoothError> error;
  if (device_.serviceDiscoveryFails) {
    services_.clear();
    error = BluetoothError{14, "service discovery failed"};
  }
  later([error](SimulatedPeripheral& self, PeripheralDelegate& delegate) {
    delegate.didDiscoverServices(self, error);
  });
}

void SimulatedPeripheral::discoverCharacteristics(const std::vector<BluetoothUuid>&,
                                                  Service& service) {
  auto target = std::find_if(services_.begin(), services_.end(),
                             [&](const auto& s) { return s.get() == &service; });
  if (target == services_.end()) return;
  std::vector<std::shared_ptr<Characteristic>> found;
  for (const auto& spec : device_.characteristics) {
    if (spec.service != service.uuid()) continue;
    auto characteristic = std::make_shared<SimulatedCharacteristic>(spec);
    characteristics_.push_back(characteristic);
    found.push_back(characteristic);
  }
  static_cast<SimulatedService&>(**target).setCharacteristics(std::move(found));
  std::optional<BluetoothError> error;
  if (device_.characteristicDiscoveryFails) error = BluetoothError{14, "discovery failed"};
  later([kept = *target, error](SimulatedPeripheral& self, PeripheralDelegate& delegate) {
    delegate.didDiscoverCharacteristics(self, *kept, error);
  });
}

std::shared_ptr<SimulatedCharacteristic> SimulatedPeripheral::find(
    const BluetoothUuid& uuid) const {
  for (const auto& characteristic : characteristics_) {
    if (characteristic->uuid() == uuid) return characteristic;
  }
  return nullptr;
}

void SimulatedPeripheral::setNotifyValue(bool enabled, Characteristic& characteristic) {
  ++notificationRequests_;
  subscriptionOrder_.push_back(characteristic.uuid());
  auto target = find(characteristic.uuid());
  if (!target || target->spec().subscription == SubscriptionAnswer::hang) return;
  later([target, enabled](SimulatedPeripheral& self, PeripheralDelegate& delegate) {
    std::optional<BluetoothError> error;
    if (target->spec().subscription == SubscriptionAnswer::fail) {
      error = BluetoothError{10, "notifications refused"};
    } else {
      const bool starts = enabled && !target->isNotifying();
      target->setNotifying(enabled);
      if (starts) self.scheduleNotification(target, 0);
    }
    delegate.didUpdateNotificationState(self, *target, error);
  });
}

void SimulatedPeripheral::simulateSubscriptionLost(const BluetoothUuid& uuid) {
  auto target = find(uuid);
  if (!target) return;
  target->setNotifying(false);
  later([target](SimulatedPeripheral& self, PeripheralDelegate& delegate) {
    delegate.didUpdateNotificationState(self, *target, std::nullopt);
  });
}

void SimulatedPeripheral::writeValue(std::span<const std::uint8_t> bytes,
                                     Characteristic& characteristic, WriteType type) {
  if (writes_.size() == kMaximumRecordedWrites) writes_.pop_front();
  writes_.push_back({{bytes.begin(), bytes.end()}, type});
  auto target = find(characteristic.uuid());
  if (type == WriteType::withoutResponse) {
    if (writesWithoutResponseAccepted_ == kNoLimit) return;
    if (writesWithoutResponseAccepted_ > 0) --writesWithoutResponseAccepted_;
    if (writesWithoutResponseAccepted_ == 0 && device_.writeWithoutResponseBurst > 0) {
      // The platform's buffer is full; it drains after a pause and says so.
      std::erase_if(timers_, [](const TimerHandle& t) { return !t.isPending(); });
      timers_.push_back(time_.mainLoop().scheduleAfter(
          device_.writeWithoutResponsePause, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
              self->simulateWriteWithoutResponseCapacity(self->device_.writeWithoutResponseBurst);
            }
          }));
    }
    return;
  }
  if (!target) return;
  std::optional<BluetoothError> error;
  if (failingConfirmations_ > 0) {
    --failingConfirmations_;
    error = BluetoothError{3, "write not permitted"};
  }
  later(
      [target, error](SimulatedPeripheral& self, PeripheralDelegate& delegate) {
        delegate.didWriteValue(self, *target, error);
      },
      device_.confirmationDelay);
}

void SimulatedPeripheral::simulateWriteWithoutResponseCapacity(std::size_t count) {
  writesWithoutResponseAccepted_ = count;
  if (count == 0) return;
  later([](SimulatedPeripheral& self, PeripheralDelegate& delegate) {
    delegate.isReadyToSendWriteWithoutResponse(self);
  });
}

void SimulatedPeripheral::simulateNotification(const BluetoothUuid& uuid,
                                               std::vector<std::uint8_t> bytes,
                                               std::optional<BluetoothError> error) {
  auto target = find(uuid);
  if (!target) return;
  // A failed update carries no value, as the platform's does not.
  if (error) bytes.clear();
  later([target, bytes = std::move(bytes), error](SimulatedPeripheral& self,
                                                  PeripheralDelegate& delegate) {
    delegate.didUpdateValue(self, *target, bytes, error);
  });
}

std::size_t SimulatedPeripheral::maximumWriteValueLength(WriteType type) const {
  return type == WriteType::withResponse ? device_.maximumWriteWithResponse
                                         : device_.maximumWriteWithoutResponse;
}

}  // namespace orvix::platform::simulated
