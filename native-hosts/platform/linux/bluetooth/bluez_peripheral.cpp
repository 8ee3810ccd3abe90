#include "platform/linux/bluetooth/bluez_peripheral.h"

#include <algorithm>
#include <span>

#include "platform/linux/bluetooth/bluez_central_manager.h"
#include "platform/linux/bluetooth/bluez_mapping.h"

namespace orvix::platform::linux_bluetooth {

namespace {

// WriteValue with `type` "request" (answered by the device) or "command" (not answered).
BusCall writeValueCall(const std::string& path, std::span<const std::uint8_t> bytes,
                       const char* type) {
  auto call = objectCall(path, kCharacteristicInterface, "WriteValue");
  call.arguments = BusCall::Arguments::writeValue;
  call.value.assign(bytes.begin(), bytes.end());
  call.writeType = type;
  return call;
}

bool wanted(const std::vector<BluetoothUuid>& filter, const BluetoothUuid& uuid) {
  return filter.empty() || std::find(filter.begin(), filter.end(), uuid) != filter.end();
}

}  // namespace

BluezPeripheral::BluezPeripheral(std::weak_ptr<BluezCentralManager> manager, std::string path,
                                 BluetoothUuid identifier)
    : manager_(std::move(manager)), path_(std::move(path)), identifier_(identifier) {}

std::optional<std::string> BluezPeripheral::name() const {
  auto manager = manager_.lock();
  const auto* device = manager ? manager->properties(path_, kDeviceInterface) : nullptr;
  return device ? cachedName(*device) : std::nullopt;
}

void BluezPeripheral::setDelegate(PeripheralDelegate* delegate) {
  if (delegate != delegate_) ++delegateGeneration_;
  delegate_ = delegate;
}

// Runs `call` with the delegate of this moment, if there is one; for answers that are already
// on the main loop (bus deliveries).
template <typename Call>
void BluezPeripheral::deliver(Call call) {
  if (!delegate_) return;
  auto keep = shared_from_this();
  call(*delegate_);
}

// Runs `call` later on the main loop, with the delegate of this moment unless it was cleared or
// replaced in between; for answers BlueZ already gave.
template <typename Call>
void BluezPeripheral::deliverLater(Call call) {
  auto manager = manager_.lock();
  if (!manager) return;
  manager->mainLoop().post(
      [weak = weak_from_this(), generation = delegateGeneration_, call = std::move(call)] {
        auto self = weak.lock();
        if (self && self->delegate_ && self->delegateGeneration_ == generation) {
          call(*self, *self->delegate_);
        }
      });
}

bool BluezPeripheral::deviceConnected() const {
  auto manager = manager_.lock();
  const auto* device = manager ? manager->properties(path_, kDeviceInterface) : nullptr;
  const auto* connected = device ? property<bool>(*device, "Connected") : nullptr;
  return connected && *connected;
}

void BluezPeripheral::requestConnection() {
  auto manager = manager_.lock();
  if (!manager || state_ == PeripheralState::connected || state_ == PeripheralState::connecting) {
    return;
  }
  state_ = PeripheralState::connecting;
  const auto link = ++linkGeneration_;
  manager->call(objectCall(path_, kDeviceInterface, "Connect"),
                [weak = weak_from_this(), link](const std::optional<BusError>& error) {
                  auto self = weak.lock();
                  if (!self || self->linkGeneration_ != link ||
                      self->state_ != PeripheralState::connecting) {
                    return;  // cancelled, or already up through "Connected"
                  }
                  if (self->deviceConnected()) {
                    self->becomeConnected();
                  } else if (error && error->name != "org.bluez.Error.AlreadyConnected") {
                    self->state_ = PeripheralState::disconnected;
                    if (auto owner = self->manager_.lock()) {
                      owner->deliverConnectFailed(self, bluetoothError(*error));
                    }
                  }
                });
}

void BluezPeripheral::cancelConnection() {
  auto manager = manager_.lock();
  if (!manager || state_ == PeripheralState::disconnected) return;
  if (state_ == PeripheralState::connecting) {
    // A pending attempt ends quietly, as the platform's does; Disconnect also aborts BlueZ's.
    state_ = PeripheralState::disconnected;
    ++linkGeneration_;
  } else {
    state_ = PeripheralState::disconnecting;
  }
  manager->call(objectCall(path_, kDeviceInterface, "Disconnect"),
                [weak = weak_from_this()](const std::optional<BusError>&) {
                  auto self = weak.lock();
                  // BlueZ answers before or after "Connected" goes false; either ends the link.
                  if (self && self->state_ == PeripheralState::disconnecting &&
                      !self->deviceConnected()) {
                    self->becomeDisconnected();
                  }
                });
}

void BluezPeripheral::deviceChanged(const PropertyMap& changed) {
  if (const auto* connected = property<bool>(changed, "Connected")) {
    if (*connected && state_ == PeripheralState::connecting) {
      becomeConnected();
    } else if (!*connected && (state_ == PeripheralState::connected ||
                               state_ == PeripheralState::disconnecting)) {
      becomeDisconnected();
      return;
    }
  }
  const auto* resolved = property<bool>(changed, "ServicesResolved");
  if (resolved && *resolved && servicesWanted_ && state_ == PeripheralState::connected) {
    finishServiceDiscovery();
  }
}

void BluezPeripheral::deviceRemoved() {
  if (state_ == PeripheralState::connected || state_ == PeripheralState::disconnecting) {
    becomeDisconnected();
  }
  state_ = PeripheralState::disconnected;
}

void BluezPeripheral::becomeConnected() {
  state_ = PeripheralState::connected;
  outstandingWithoutResponse_ = 0;
  servicesWanted_ = false;
  if (auto manager = manager_.lock()) manager->deliverConnected(shared_from_this());
}

void BluezPeripheral::becomeDisconnected() {
  state_ = PeripheralState::disconnected;
  ++linkGeneration_;
  servicesWanted_ = false;
  outstandingWithoutResponse_ = 0;
  releaseSockets();
  for (auto& [path, characteristic] : characteristics_) characteristic->setNotifying(false);
  if (auto manager = manager_.lock()) manager->deliverDisconnected(shared_from_this());
}

void BluezPeripheral::discoverServices(const std::vector<BluetoothUuid>& serviceUuids) {
  auto manager = manager_.lock();
  if (!manager) return;
  serviceFilter_ = serviceUuids;
  servicesWanted_ = true;
  const auto* device = manager->properties(path_, kDeviceInterface);
  const auto* resolved = device ? property<bool>(*device, "ServicesResolved") : nullptr;
  if (resolved && *resolved) {
    manager->mainLoop().post([weak = weak_from_this(), link = linkGeneration_] {
      auto self = weak.lock();
      if (self && self->linkGeneration_ == link && self->servicesWanted_) {
        self->finishServiceDiscovery();
      }
    });
  }
}

void BluezPeripheral::finishServiceDiscovery() {
  servicesWanted_ = false;
  auto manager = manager_.lock();
  if (!manager) return;
  std::vector<std::shared_ptr<Service>> found;
  for (const auto& [path, interfaces] : manager->objects()) {
    auto service = interfaces.find(kServiceInterface);
    if (service == interfaces.end()) continue;
    const auto* device = property<std::string>(service->second, "Device");
    const auto* text = property<std::string>(service->second, "UUID");
    const auto uuid = text ? parseUuid(*text) : std::nullopt;
    if (!device || *device != path_ || !uuid || !wanted(serviceFilter_, *uuid)) continue;
    // The same service keeps its object across discoveries of one link.
    const std::string& servicePath = path;
    auto kept = std::find_if(services_.begin(), services_.end(), [&](const auto& s) {
      return static_cast<const BluezService&>(*s).path() == servicePath;
    });
    found.push_back(kept != services_.end() ? *kept : std::make_shared<BluezService>(path, *uuid));
  }
  services_ = std::move(found);
  deliver([&](PeripheralDelegate& delegate) { delegate.didDiscoverServices(*this, std::nullopt); });
}

void BluezPeripheral::discoverCharacteristics(
    const std::vector<BluetoothUuid>& characteristicUuids, Service& service) {
  auto manager = manager_.lock();
  auto target = std::find_if(services_.begin(), services_.end(),
                             [&](const auto& s) { return s.get() == &service; });
  if (!manager || target == services_.end()) return;
  auto& bluezService = static_cast<BluezService&>(**target);
  std::vector<std::shared_ptr<Characteristic>> found;
  for (const auto& [path, interfaces] : manager->objects()) {
    auto characteristic = interfaces.find(kCharacteristicInterface);
    if (characteristic == interfaces.end()) continue;
    const auto& properties = characteristic->second;
    const auto* owner = property<std::string>(properties, "Service");
    const auto* text = property<std::string>(properties, "UUID");
    const auto uuid = text ? parseUuid(*text) : std::nullopt;
    if (!owner || *owner != bluezService.path() || !uuid || !wanted(characteristicUuids, *uuid)) {
      continue;
    }
    const auto* flags = property<std::vector<std::string>>(properties, "Flags");
    const auto bits = flags ? characteristicProperties(*flags) : 0;
    auto& kept = characteristics_[path];
    if (!kept) kept = std::make_shared<BluezCharacteristic>(path, *uuid, bits);
    kept->setProperties(bits);
    kept->offersAcquireNotify = properties.contains("NotifyAcquired");
    kept->offersAcquireWrite = properties.contains("WriteAcquired") && (bits & 0x04) != 0;
    found.push_back(kept);
  }
  bluezService.setCharacteristics(std::move(found));

  // A write socket is taken now, so that its MTU is known when the write lengths are asked for;
  // the discovery is answered once every acquisition has.
  auto answer = [kept = *target](BluezPeripheral& self, PeripheralDelegate& delegate) {
    delegate.didDiscoverCharacteristics(self, *kept, std::nullopt);
  };
  auto waiting = std::make_shared<std::size_t>(0);
  for (const auto& characteristic : bluezService.characteristics()) {
    auto& mine = static_cast<BluezCharacteristic&>(*characteristic);
    if (!mine.offersAcquireWrite || mine.writeSocket) continue;
    ++*waiting;
    manager->acquire(
        mine.path(), SocketKind::write,
        [weak = weak_from_this(), path = mine.path(), waiting, answer, link = linkGeneration_,
         generation = delegateGeneration_](const std::optional<BusError>& error,
                                           std::uint16_t mtu) {
          auto self = weak.lock();
          if (!self || self->linkGeneration_ != link) return;
          auto acquired = self->characteristics_.find(path);
          if (!error && acquired != self->characteristics_.end()) {
            acquired->second->writeSocket = true;
            self->writeSocketMtu_ = mtu;
          }
          // Without the socket, writes go through WriteValue.
          if (--*waiting == 0 && self->delegate_ && self->delegateGeneration_ == generation) {
            answer(*self, *self->delegate_);
          }
        });
  }
  if (*waiting == 0) deliverLater(answer);
}

BluezCharacteristic* BluezPeripheral::find(const Characteristic& characteristic) const {
  for (const auto& [path, mine] : characteristics_) {
    if (mine.get() == &characteristic) return mine.get();
  }
  return nullptr;
}

void BluezPeripheral::setNotifyValue(bool enabled, Characteristic& characteristic) {
  auto manager = manager_.lock();
  auto* target = find(characteristic);
  if (!manager || !target) return;
  if (!enabled && target->notifySocket) {
    target->notifySocket = false;
    target->setNotifying(false);
    manager->release(target->path(), SocketKind::notify);
    deliverLater([kept = characteristics_[target->path()]](BluezPeripheral& self,
                                                          PeripheralDelegate& delegate) {
      delegate.didUpdateNotificationState(self, *kept, std::nullopt);
    });
    return;
  }
  if (!enabled || !target->offersAcquireNotify) {
    startNotifySession(*target, enabled);
    return;
  }
  manager->acquire(
      target->path(), SocketKind::notify,
      [weak = weak_from_this(), path = target->path(), link = linkGeneration_,
       generation = delegateGeneration_](const std::optional<BusError>& error, std::uint16_t) {
        auto self = weak.lock();
        if (!self || self->linkGeneration_ != link) return;
        auto found = self->characteristics_.find(path);
        if (found == self->characteristics_.end()) return;
        auto subscribed = found->second;
        if (error) {
          // BlueZ may refuse the socket (another client holds one): a session does as well.
          self->startNotifySession(*subscribed, true);
          return;
        }
        subscribed->notifySocket = true;
        subscribed->setNotifying(true);
        if (self->delegateGeneration_ != generation) return;
        self->deliver([&](PeripheralDelegate& delegate) {
          delegate.didUpdateNotificationState(*self, *subscribed, std::nullopt);
        });
      });
}

void BluezPeripheral::startNotifySession(BluezCharacteristic& target, bool enabled) {
  auto manager = manager_.lock();
  if (!manager) return;
  manager->call(
      objectCall(target.path(), kCharacteristicInterface, enabled ? "StartNotify" : "StopNotify"),
      [weak = weak_from_this(), path = target.path(), enabled, link = linkGeneration_,
       generation = delegateGeneration_](const std::optional<BusError>& error) {
        auto self = weak.lock();
        if (!self || self->linkGeneration_ != link || self->delegateGeneration_ != generation) {
          return;
        }
        auto found = self->characteristics_.find(path);
        if (found == self->characteristics_.end()) return;
        auto subscribed = found->second;
        if (!error) subscribed->setNotifying(enabled);
        std::optional<BluetoothError> failure;
        if (error) failure = bluetoothError(*error);
        self->deliver([&](PeripheralDelegate& delegate) {
          delegate.didUpdateNotificationState(*self, *subscribed, failure);
        });
      });
}

void BluezPeripheral::socketValue(const std::string& path, std::span<const std::uint8_t> value) {
  auto found = characteristics_.find(path);
  if (found == characteristics_.end() || state_ != PeripheralState::connected) return;
  auto characteristic = found->second;
  if (!characteristic->notifySocket || !characteristic->isNotifying()) return;
  deliver([&](PeripheralDelegate& delegate) {
    delegate.didUpdateValue(*this, *characteristic, value, std::nullopt);
  });
}

void BluezPeripheral::socketClosed(const std::string& path, SocketKind kind) {
  auto found = characteristics_.find(path);
  if (found == characteristics_.end()) return;
  auto characteristic = found->second;
  if (kind == SocketKind::write) {
    characteristic->writeSocket = false;  // later writes go through WriteValue
    return;
  }
  if (!characteristic->notifySocket) return;
  characteristic->notifySocket = false;
  if (!characteristic->isNotifying() || state_ != PeripheralState::connected) return;
  // BlueZ ended the subscription while the link stays.
  characteristic->setNotifying(false);
  deliver([&](PeripheralDelegate& delegate) {
    delegate.didUpdateNotificationState(*this, *characteristic, std::nullopt);
  });
}

void BluezPeripheral::releaseSockets() {
  auto manager = manager_.lock();
  writeSocketMtu_.reset();
  for (auto& [path, characteristic] : characteristics_) {
    if (manager && characteristic->notifySocket) manager->release(path, SocketKind::notify);
    if (manager && characteristic->writeSocket) manager->release(path, SocketKind::write);
    characteristic->notifySocket = false;
    characteristic->writeSocket = false;
  }
}

void BluezPeripheral::characteristicChanged(const std::string& path, const PropertyMap& changed) {
  auto found = characteristics_.find(path);
  if (found == characteristics_.end() || state_ != PeripheralState::connected) return;
  auto characteristic = found->second;
  // With a notification socket the values come through it, never twice.
  if (const auto* value = property<std::vector<std::uint8_t>>(changed, "Value");
      value && characteristic->isNotifying() && !characteristic->notifySocket) {
    deliver([&](PeripheralDelegate& delegate) {
      delegate.didUpdateValue(*this, *characteristic, *value, std::nullopt);
    });
  }
  if (const auto* notifying = property<bool>(changed, "Notifying");
      notifying && !*notifying && characteristic->isNotifying() &&
      !characteristic->notifySocket) {
    // The device or BlueZ ended the subscription.
    characteristic->setNotifying(false);
    deliver([&](PeripheralDelegate& delegate) {
      delegate.didUpdateNotificationState(*this, *characteristic, std::nullopt);
    });
  }
}

void BluezPeripheral::writeValue(std::span<const std::uint8_t> bytes,
                                 Characteristic& characteristic, WriteType type) {
  auto manager = manager_.lock();
  auto* target = find(characteristic);
  if (!manager || !target) return;
  if (type == WriteType::withoutResponse) {
    writeWithoutResponse(*target, bytes);
    return;
  }
  const auto link = linkGeneration_;
  manager->call(writeValueCall(target->path(), bytes, "request"), [weak = weak_from_this(), path = target->path(), link,
                                   generation = delegateGeneration_](
                                      const std::optional<BusError>& error) {
    auto self = weak.lock();
    if (!self || self->linkGeneration_ != link || self->delegateGeneration_ != generation) return;
    auto found = self->characteristics_.find(path);
    if (found == self->characteristics_.end()) return;
    auto written = found->second;
    std::optional<BluetoothError> failure;
    if (error) failure = bluetoothError(*error);
    self->deliver([&](PeripheralDelegate& delegate) {
      delegate.didWriteValue(*self, *written, failure);
    });
  });
}

void BluezPeripheral::writeWithoutResponse(BluezCharacteristic& target,
                                           std::span<const std::uint8_t> bytes) {
  auto manager = manager_.lock();
  if (!manager) return;
  ++outstandingWithoutResponse_;
  auto taken = [weak = weak_from_this(), link = linkGeneration_](auto&&...) {
    // Failed or not: a write without response has no confirmation to report.
    auto self = weak.lock();
    if (self && self->linkGeneration_ == link) self->writeTaken();
  };
  if (target.writeSocket) {
    manager->writeToSocket(target.path(), {bytes.begin(), bytes.end()}, taken);
    return;
  }
  manager->call(writeValueCall(target.path(), bytes, "command"), taken);
}

void BluezPeripheral::writeTaken() {
  if (outstandingWithoutResponse_ == 0) return;
  const bool wasFull = !canSendWriteWithoutResponse();
  --outstandingWithoutResponse_;
  if (wasFull) {
    deliver([&](PeripheralDelegate& delegate) { delegate.isReadyToSendWriteWithoutResponse(*this); });
  }
}

std::size_t BluezPeripheral::maximumWriteValueLength(WriteType type) const {
  if (type == WriteType::withResponse) return kMaximumLongWrite;
  if (writeSocketMtu_) return writeWithoutResponseLength(*writeSocketMtu_);
  auto manager = manager_.lock();
  std::optional<std::int64_t> mtu;
  if (manager) {
    const std::string prefix = path_ + "/";
    for (const auto& [path, interfaces] : manager->objects()) {
      if (path.compare(0, prefix.size(), prefix) != 0) continue;
      auto characteristic = interfaces.find(kCharacteristicInterface);
      if (characteristic == interfaces.end()) continue;
      if (const auto* value = property<std::int64_t>(characteristic->second, "MTU")) {
        mtu = std::max(mtu.value_or(0), *value);
      }
    }
  }
  return writeWithoutResponseLength(mtu);
}

}  // namespace orvix::platform::linux_bluetooth
