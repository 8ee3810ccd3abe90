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

constexpr std::uint32_t kPropertyWriteWithoutResponse = 0x04;

}  // namespace

BluezPeripheral::BluezPeripheral(std::weak_ptr<BluezCentralManager> manager,
                                 BluetoothUuid identifier)
    : manager_(std::move(manager)), identifier_(identifier) {}

BluezPeripheral::~BluezPeripheral() {
  if (connectRetry_) connectRetry_->cancel();
}

std::optional<std::string> BluezPeripheral::name() const {
  auto manager = manager_.lock();
  const auto* device = manager && bound_ ? manager->properties(path_, kDeviceInterface) : nullptr;
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
  const auto* device = manager && bound_ ? manager->properties(path_, kDeviceInterface) : nullptr;
  const auto* connected = device ? property<bool>(*device, "Connected") : nullptr;
  return connected && *connected;
}

// --- The link ------------------------------------------------------------------------------

void BluezPeripheral::bind(const std::string& path) {
  path_ = path;
  bound_ = true;
  if (!awaitingDevice_) return;
  awaitingDevice_ = false;
  auto manager = manager_.lock();
  if (!manager) return;
  manager->refreshDiscovery();
  // Bound from inside whatever found the device; the waiting Connect goes out from the loop.
  manager->mainLoop().post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->issueConnect();
  });
}

void BluezPeripheral::unbind() {
  bound_ = false;
  dropping_ = false;  // whatever held the link is gone with the object
  if (state_ == PeripheralState::connected) becomeDisconnected();
  // An attempt without a Connect on its way waits for the device to be heard again; one with a
  // Connect gets there through the call's failure.
  if (state_ == PeripheralState::connecting) issueConnect();
}

void BluezPeripheral::requestConnection() {
  if (state_ == PeripheralState::connected || state_ == PeripheralState::connecting) return;
  state_ = PeripheralState::connecting;
  ++linkGeneration_;
  issueConnect();
}

void BluezPeripheral::issueConnect() {
  auto manager = manager_.lock();
  if (!manager || state_ != PeripheralState::connecting || connectInFlight_ == linkGeneration_) {
    return;
  }
  if (!bound_) {
    if (!awaitingDevice_) {
      awaitingDevice_ = true;
      manager->refreshDiscovery();
    }
    return;
  }
  if (dropping_) return;  // sent once bluetoothd has let go of the previous link
  connectInFlight_ = linkGeneration_;
  manager->call(objectCall(path_, kDeviceInterface, "Connect"),
                [weak = weak_from_this(), link = linkGeneration_](const auto& error) {
                  auto self = weak.lock();
                  if (!self) return;
                  if (self->connectInFlight_ == link) self->connectInFlight_.reset();
                  if (self->linkGeneration_ != link ||
                      self->state_ != PeripheralState::connecting) {
                    return;  // cancelled, or already up through "Connected"
                  }
                  self->connectAnswered(error);
                });
}

void BluezPeripheral::connectAnswered(const std::optional<BusError>& error) {
  if (deviceConnected() && !dropping_) return becomeConnected();
  if (!error || error->name == "org.bluez.Error.AlreadyConnected") return;  // "Connected" follows
  auto manager = manager_.lock();
  if (!manager) return;
  if (isLastingConnectFailure(*error)) {
    state_ = PeripheralState::disconnected;
    ++linkGeneration_;
    manager->deliverConnectFailed(shared_from_this(), bluetoothError(*error));
    return;
  }
  // Out of range, BlueZ's own time limit, a device object that went: try again, as the
  // platform keeps trying until the attempt is cancelled.
  if (connectRetry_) connectRetry_->cancel();
  connectRetry_ = manager->mainLoop().scheduleAfter(
      kConnectRetryDelay, [weak = weak_from_this(), link = linkGeneration_] {
        auto self = weak.lock();
        if (self && self->linkGeneration_ == link) self->issueConnect();
      });
}

void BluezPeripheral::connectionImpossible(const BluetoothError& error) {
  if (!awaitingDevice_ || state_ != PeripheralState::connecting) return;
  awaitingDevice_ = false;
  state_ = PeripheralState::disconnected;
  ++linkGeneration_;
  if (auto manager = manager_.lock()) manager->deliverConnectFailed(shared_from_this(), error);
}

void BluezPeripheral::cancelConnection() {
  auto manager = manager_.lock();
  if (!manager || state_ == PeripheralState::disconnected) return;
  const bool linked = state_ == PeripheralState::connected;
  const bool attempting = connectInFlight_.has_value();
  if (connectRetry_) connectRetry_->cancel();
  if (awaitingDevice_) {
    awaitingDevice_ = false;
    manager->refreshDiscovery();
  }
  state_ = PeripheralState::disconnected;
  ++linkGeneration_;
  releaseLink();
  if (bound_ && (linked || attempting || deviceConnected())) {
    // Disconnect also aborts a pending attempt of BlueZ's.
    dropping_ = true;
    manager->call(objectCall(path_, kDeviceInterface, "Disconnect"),
                  [weak = weak_from_this()](const auto&) {
                    auto self = weak.lock();
                    if (!self || !self->dropping_) return;
                    self->dropping_ = false;
                    self->issueConnect();  // a connection asked for meanwhile goes out now
                  });
  }
  // The link ends for the host now, as the platform's does; a pending attempt ends quietly.
  if (linked) {
    manager->mainLoop().post([weak = weak_from_this(), owner = manager_] {
      auto self = weak.lock();
      auto central = owner.lock();
      if (self && central) central->deliverDisconnected(self);
    });
  }
}

void BluezPeripheral::deviceChanged(const PropertyMap& changed) {
  if (const auto* connected = property<bool>(changed, "Connected")) {
    if (!*connected) {
      dropping_ = false;
      if (state_ == PeripheralState::connected) return becomeDisconnected();
      issueConnect();  // a connection that waited for the old link to go
    } else if (state_ == PeripheralState::connecting && !dropping_) {
      becomeConnected();
    }
  }
  const auto* resolved = property<bool>(changed, "ServicesResolved");
  if (resolved && *resolved && servicesWanted_ && state_ == PeripheralState::connected) {
    finishServiceDiscovery();
  }
}

void BluezPeripheral::becomeConnected() {
  state_ = PeripheralState::connected;
  connectInFlight_.reset();
  if (connectRetry_) connectRetry_->cancel();
  outstandingWithoutResponse_ = 0;
  servicesWanted_ = false;
  acquiredMtu_.reset();
  if (auto manager = manager_.lock()) manager->deliverConnected(shared_from_this());
}

void BluezPeripheral::becomeDisconnected() {
  state_ = PeripheralState::disconnected;
  ++linkGeneration_;
  releaseLink();
  if (auto manager = manager_.lock()) manager->deliverDisconnected(shared_from_this());
}

void BluezPeripheral::releaseLink() {
  servicesWanted_ = false;
  outstandingWithoutResponse_ = 0;
  acquiredMtu_.reset();
  // Every subscription is asked for again on the next link (bluetoothd may still hold the
  // session, which StartNotify then confirms).
  for (auto& [path, characteristic] : characteristics_) characteristic->setNotifying(false);
}

// --- GATT ----------------------------------------------------------------------------------

void BluezPeripheral::discoverServices(const std::vector<BluetoothUuid>& serviceUuids) {
  auto manager = manager_.lock();
  if (!manager || !bound_) return;
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
    // The same service keeps its object across discoveries.
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
  std::optional<std::string> writeSocketOffered;
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
    if ((bits & kPropertyWriteWithoutResponse) && properties.contains("WriteAcquired")) {
      writeSocketOffered = path;
    }
    found.push_back(kept);
  }
  bluezService.setCharacteristics(std::move(found));

  auto answer = [kept = *target](BluezPeripheral& self, PeripheralDelegate& delegate) {
    delegate.didDiscoverCharacteristics(self, *kept, std::nullopt);
  };
  // BlueZ before 5.62 says the ATT MTU only with a write socket: one is taken for the number and
  // closed at once, before the write lengths can be asked for.
  if (attributeMtu() || !writeSocketOffered || acquiredMtu_) return deliverLater(answer);
  manager->acquireWriteMtu(
      *writeSocketOffered,
      [weak = weak_from_this(), answer, link = linkGeneration_,
       generation = delegateGeneration_](const std::optional<BusError>& error, std::uint16_t mtu) {
        auto self = weak.lock();
        if (!self || self->linkGeneration_ != link) return;
        if (!error) self->acquiredMtu_ = mtu;
        if (self->delegate_ && self->delegateGeneration_ == generation) {
          answer(*self, *self->delegate_);
        }
      });
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
  manager->call(
      objectCall(target->path(), kCharacteristicInterface, enabled ? "StartNotify" : "StopNotify"),
      [weak = weak_from_this(), path = target->path(), enabled, link = linkGeneration_,
       generation = delegateGeneration_](const std::optional<BusError>& error) {
        auto self = weak.lock();
        if (!self || self->linkGeneration_ != link || self->delegateGeneration_ != generation) {
          return;
        }
        auto found = self->characteristics_.find(path);
        if (found == self->characteristics_.end()) return;
        auto subscribed = found->second;
        // bluetoothd keeps this client's session across links and registers it again on the
        // next one: asked again, it answers that the session exists, which is a subscription.
        const bool alreadyOn = enabled && error && isSessionAlreadyOn(*error);
        if (!error || alreadyOn) subscribed->setNotifying(enabled);
        std::optional<BluetoothError> failure;
        if (error && !alreadyOn) failure = bluetoothError(*error);
        self->deliver([&](PeripheralDelegate& delegate) {
          delegate.didUpdateNotificationState(*self, *subscribed, failure);
        });
      });
}

void BluezPeripheral::characteristicChanged(const std::string& path, const PropertyMap& changed) {
  auto found = characteristics_.find(path);
  if (found == characteristics_.end() || state_ != PeripheralState::connected) return;
  auto characteristic = found->second;
  if (const auto* value = property<std::vector<std::uint8_t>>(changed, "Value");
      value && characteristic->isNotifying()) {
    deliver([&](PeripheralDelegate& delegate) {
      delegate.didUpdateValue(*this, *characteristic, *value, std::nullopt);
    });
  }
  if (const auto* notifying = property<bool>(changed, "Notifying");
      notifying && !*notifying && characteristic->isNotifying()) {
    // The device or BlueZ ended the subscription while the link stays.
    characteristic->setNotifying(false);
    deliver([&](PeripheralDelegate& delegate) {
      delegate.didUpdateNotificationState(*this, *characteristic, std::nullopt);
    });
  }
}

void BluezPeripheral::valuesLost(const std::string& path, std::size_t count) {
  auto found = characteristics_.find(path);
  if (found == characteristics_.end() || state_ != PeripheralState::connected ||
      !found->second->isNotifying()) {
    return;
  }
  auto characteristic = found->second;
  const BluetoothError lost{0, std::to_string(count) +
                                   " notifications dropped: the host fell too far behind"};
  deliver([&](PeripheralDelegate& delegate) {
    delegate.didUpdateValue(*this, *characteristic, {}, lost);
  });
}

// --- Writes --------------------------------------------------------------------------------

void BluezPeripheral::writeValue(std::span<const std::uint8_t> bytes,
                                 Characteristic& characteristic, WriteType type) {
  auto manager = manager_.lock();
  auto* target = find(characteristic);
  if (!manager || !target) return;
  if (type == WriteType::withoutResponse) {
    ++outstandingWithoutResponse_;
    manager->call(writeValueCall(target->path(), bytes, "command"),
                  [weak = weak_from_this(), link = linkGeneration_](const auto&) {
                    // Failed or not: a write without response has no confirmation to report.
                    auto self = weak.lock();
                    if (self && self->linkGeneration_ == link) self->writeTaken();
                  });
    return;
  }
  sendWriteRequest(target->path(), {bytes.begin(), bytes.end()}, 1);
}

void BluezPeripheral::sendWriteRequest(const std::string& path, std::vector<std::uint8_t> bytes,
                                       int attempt) {
  auto manager = manager_.lock();
  if (!manager) return;
  auto call = writeValueCall(path, bytes, "request");
  manager->call(std::move(call), [weak = weak_from_this(), path, bytes = std::move(bytes), attempt,
                                  link = linkGeneration_, generation = delegateGeneration_](
                                     const std::optional<BusError>& error) mutable {
    auto self = weak.lock();
    if (!self || self->linkGeneration_ != link || self->delegateGeneration_ != generation) return;
    auto found = self->characteristics_.find(path);
    if (found == self->characteristics_.end()) return;
    // bluetoothd notices the end of the write socket taken for the MTU on its own loop, a moment
    // after it was closed; until then it refuses WriteValue.
    if (error && isWriteAcquired(*error) && self->acquiredMtu_ && attempt < kWriteRetries) {
      if (auto owner = self->manager_.lock()) {
        owner->mainLoop().scheduleAfter(kWriteRetryDelay, [weak, path, bytes, attempt, link]() mutable {
          auto again = weak.lock();
          if (again && again->linkGeneration_ == link) {
            again->sendWriteRequest(path, std::move(bytes), attempt + 1);
          }
        });
      }
      return;
    }
    auto written = found->second;
    std::optional<BluetoothError> failure;
    if (error) failure = bluetoothError(*error);
    self->deliver([&](PeripheralDelegate& delegate) {
      delegate.didWriteValue(*self, *written, failure);
    });
  });
}

void BluezPeripheral::writeTaken() {
  if (outstandingWithoutResponse_ == 0) return;
  const bool wasFull = !canSendWriteWithoutResponse();
  --outstandingWithoutResponse_;
  if (wasFull) {
    deliver([&](PeripheralDelegate& delegate) { delegate.isReadyToSendWriteWithoutResponse(*this); });
  }
}

std::optional<std::int64_t> BluezPeripheral::attributeMtu() const {
  auto manager = manager_.lock();
  if (!manager || !bound_) return std::nullopt;
  std::optional<std::int64_t> mtu;
  const std::string prefix = path_ + "/";
  for (auto object = manager->objects().lower_bound(prefix);
       object != manager->objects().end() && object->first.starts_with(prefix); ++object) {
    auto characteristic = object->second.find(kCharacteristicInterface);
    if (characteristic == object->second.end()) continue;
    if (const auto* value = property<std::int64_t>(characteristic->second, "MTU")) {
      mtu = std::max(mtu.value_or(0), *value);
    }
  }
  return mtu;
}

std::size_t BluezPeripheral::maximumWriteValueLength(WriteType type) const {
  if (type == WriteType::withResponse) return kMaximumLongWrite;
  // Read afresh: BlueZ updates "MTU" when the device exchanges a larger one mid-link.
  if (const auto mtu = attributeMtu()) return writeWithoutResponseLength(*mtu);
  if (acquiredMtu_) return writeWithoutResponseLength(*acquiredMtu_);
  return writeWithoutResponseLength(std::nullopt);
}

}  // namespace orvix::platform::linux_bluetooth
