#include "platform/linux/bluetooth/bluez_central_manager.h"

#include <algorithm>

#include "platform/linux/bluetooth/bluez_mapping.h"
#include "platform/linux/bluetooth/bus_message_reading.h"

namespace orvix::platform::linux_bluetooth {

namespace {

void ignoreReply(const std::optional<BusError>&) {}

}  // namespace

BluezCentralManager::BluezCentralManager(RunLoop& mainLoop, CentralManagerDelegate& delegate,
                                         std::shared_ptr<std::atomic<bool>> accessDenied)
    : mainLoop_(mainLoop), delegate_(&delegate), accessDenied_(std::move(accessDenied)) {}

BluezCentralManager::~BluezCentralManager() = default;

void BluezCentralManager::start() { bus_ = std::make_unique<BluezBus>(mainLoop_, *this); }

void BluezCentralManager::call(BusCall call, BusReply reply) {
  if (bus_) bus_->call(std::move(call), std::move(reply));
}

void BluezCentralManager::acquire(std::string path, SocketKind kind, AcquireReply reply) {
  if (bus_) bus_->acquire(std::move(path), kind, std::move(reply));
}

void BluezCentralManager::release(std::string path, SocketKind kind) {
  if (bus_) bus_->release(std::move(path), kind);
}

void BluezCentralManager::writeToSocket(std::string path, std::vector<std::uint8_t> bytes,
                                        std::function<void(bool)> written) {
  if (bus_) bus_->writeToSocket(std::move(path), std::move(bytes), std::move(written));
}

std::shared_ptr<BluezPeripheral> BluezCentralManager::ownerOf(const std::string& path) const {
  for (const auto& [devicePath, peripheral] : peripherals_) {
    if (path.size() > devicePath.size() && path.compare(0, devicePath.size(), devicePath) == 0 &&
        path[devicePath.size()] == '/') {
      return peripheral;
    }
  }
  return nullptr;
}

void BluezCentralManager::busSocketValue(const std::string& path,
                                         std::vector<std::uint8_t> value) {
  auto keep = shared_from_this();
  if (auto owner = ownerOf(path)) owner->socketValue(path, value);
}

void BluezCentralManager::busSocketClosed(const std::string& path, SocketKind kind) {
  auto keep = shared_from_this();
  if (auto owner = ownerOf(path)) owner->socketClosed(path, kind);
}

const PropertyMap* BluezCentralManager::properties(const std::string& path,
                                                   std::string_view interface) const {
  auto object = objects_.find(path);
  if (object == objects_.end()) return nullptr;
  auto found = object->second.find(interface);
  return found == object->second.end() ? nullptr : &found->second;
}

std::optional<std::string> BluezCentralManager::adapterPath() const {
  for (const auto& [path, interfaces] : objects_) {
    if (interfaces.contains(kAdapterInterface)) return path;
  }
  return std::nullopt;
}

std::vector<std::string> BluezCentralManager::devicePaths() const {
  std::vector<std::string> paths;
  const auto adapter = adapterPath();
  if (!adapter) return paths;
  for (const auto& [path, interfaces] : objects_) {
    auto device = interfaces.find(kDeviceInterface);
    if (device == interfaces.end()) continue;
    const auto* owner = property<std::string>(device->second, "Adapter");
    if (owner && *owner == *adapter) paths.push_back(path);
  }
  return paths;
}

CentralState BluezCentralManager::currentState() const {
  if (failure_) {
    return isAccessDenied(*failure_) ? CentralState::unauthorized : CentralState::unsupported;
  }
  if (!loaded_) return CentralState::unknown;
  const auto adapter = adapterPath();
  return adapterState(adapter ? properties(*adapter, kAdapterInterface) : nullptr);
}

void BluezCentralManager::updateState() {
  const CentralState state = currentState();
  if (stateReported_ && state == reported_) return;
  stateReported_ = true;
  reported_ = state;
  if (state != CentralState::poweredOn) {
    // The platform ends a scan when the adapter goes away or off, and so does BlueZ.
    scanning_ = false;
    discoveryStarted_ = false;
  }
  if (delegate_) delegate_->centralManagerDidUpdateState(*this);
}

std::shared_ptr<BluezPeripheral> BluezCentralManager::peripheralAt(const std::string& path) {
  if (auto found = peripherals_.find(path); found != peripherals_.end()) return found->second;
  const auto adapter = adapterPath();
  const auto* device = properties(path, kDeviceInterface);
  if (!adapter || !device) return nullptr;
  const auto* adapterProperties = properties(*adapter, kAdapterInterface);
  const auto* adapterAddress = property<std::string>(*adapterProperties, "Address");
  const auto* deviceAddress = property<std::string>(*device, "Address");
  // Without addresses the object paths name the two as uniquely, if less durably.
  const auto identifier = peripheralIdentifier(adapterAddress ? *adapterAddress : *adapter,
                                               deviceAddress ? *deviceAddress : path);
  auto peripheral = std::make_shared<BluezPeripheral>(weak_from_this(), path, identifier);
  peripherals_.emplace(path, peripheral);
  return peripheral;
}

BluezPeripheral* BluezCentralManager::own(const std::shared_ptr<Peripheral>& peripheral) {
  if (!peripheral) return nullptr;
  for (const auto& [path, mine] : peripherals_) {
    if (mine->identifier() == peripheral->identifier()) return mine.get();
  }
  return nullptr;
}

void BluezCentralManager::scanForPeripherals(bool allowDuplicates) {
  const auto adapter = adapterPath();
  // A scan request on an adapter that is not on is ignored, as the platform's is.
  if (reported_ != CentralState::poweredOn || !adapter) return;
  scanning_ = true;
  allowDuplicates_ = allowDuplicates;
  deliveredThisScan_.clear();
  auto filter = objectCall(*adapter, kAdapterInterface, "SetDiscoveryFilter");
  filter.arguments = BusCall::Arguments::discoveryFilter;
  filter.duplicateData = allowDuplicates;
  call(std::move(filter), ignoreReply);  // sent before StartDiscovery, on the same connection
  if (!discoveryStarted_) {
    discoveryStarted_ = true;
    call(objectCall(*adapter, kAdapterInterface, "StartDiscovery"), ignoreReply);
  }
}

void BluezCentralManager::stopScan() {
  scanning_ = false;
  const auto adapter = adapterPath();
  if (!discoveryStarted_ || !adapter) return;
  discoveryStarted_ = false;
  call(objectCall(*adapter, kAdapterInterface, "StopDiscovery"), ignoreReply);
}

std::vector<std::shared_ptr<Peripheral>> BluezCentralManager::retrieveConnectedPeripherals(
    const std::vector<BluetoothUuid>& serviceUuids) {
  std::vector<std::shared_ptr<Peripheral>> found;
  if (reported_ != CentralState::poweredOn) return found;
  for (const auto& path : devicePaths()) {
    const auto& device = *properties(path, kDeviceInterface);
    const auto* connected = property<bool>(device, "Connected");
    if (!connected || !*connected) continue;
    const auto offered = advertisementOf(device).serviceUuids.value_or(std::vector<BluetoothUuid>{});
    const bool offers = std::any_of(serviceUuids.begin(), serviceUuids.end(), [&](const auto& u) {
      return std::find(offered.begin(), offered.end(), u) != offered.end();
    });
    if (offers) found.push_back(peripheralAt(path));
  }
  return found;
}

std::vector<std::shared_ptr<Peripheral>> BluezCentralManager::retrievePeripherals(
    const std::vector<BluetoothUuid>& identifiers) {
  std::vector<std::shared_ptr<Peripheral>> found;
  if (reported_ != CentralState::poweredOn) return found;
  const auto paths = devicePaths();
  for (const auto& identifier : identifiers) {
    for (const auto& path : paths) {
      auto peripheral = peripheralAt(path);
      if (peripheral && peripheral->identifier() == identifier) {
        found.push_back(peripheral);
        break;
      }
    }
  }
  return found;
}

void BluezCentralManager::connect(const std::shared_ptr<Peripheral>& peripheral) {
  if (auto* mine = own(peripheral)) mine->requestConnection();
}

void BluezCentralManager::cancelPeripheralConnection(
    const std::shared_ptr<Peripheral>& peripheral) {
  if (auto* mine = own(peripheral)) mine->cancelConnection();
}

void BluezCentralManager::deliverConnected(const std::shared_ptr<BluezPeripheral>& peripheral) {
  if (delegate_) delegate_->didConnect(*this, peripheral);
}

void BluezCentralManager::deliverConnectFailed(const std::shared_ptr<BluezPeripheral>& peripheral,
                                               const BluetoothError& error) {
  if (delegate_) delegate_->didFailToConnect(*this, peripheral, error);
}

void BluezCentralManager::deliverDisconnected(
    const std::shared_ptr<BluezPeripheral>& peripheral) {
  if (delegate_) delegate_->didDisconnect(*this, peripheral, std::nullopt);
}

void BluezCentralManager::offerAdvertisement(const std::string& path) {
  if (!scanning_ || reported_ != CentralState::poweredOn || !delegate_) return;
  const auto* device = properties(path, kDeviceInterface);
  const auto adapter = adapterPath();
  const auto* owner = device ? property<std::string>(*device, "Adapter") : nullptr;
  if (!owner || !adapter || *owner != *adapter) return;
  auto peripheral = peripheralAt(path);
  if (!peripheral) return;
  if (!allowDuplicates_ && !deliveredThisScan_.insert(peripheral->identifier()).second) return;
  const auto* rssi = property<std::int64_t>(*device, "RSSI");
  delegate_->didDiscover(*this, peripheral, advertisementOf(*device),
                         rssi ? static_cast<int>(std::clamp<std::int64_t>(*rssi, -128, 127)) : 127);
}

void BluezCentralManager::dropVanishedPeripherals() {
  // Copied first: a delegate may call back into the manager.
  const auto peripherals = peripherals_;
  for (const auto& [path, peripheral] : peripherals) {
    if (properties(path, kDeviceInterface)) continue;
    peripherals_.erase(path);
    peripheral->deviceRemoved();
  }
}

void BluezCentralManager::busObjectsLoaded(const std::optional<BusError>& failure,
                                           ObjectMap objects) {
  auto keep = shared_from_this();  // a delegate may let go of the manager
  failure_ = failure;
  if (failure && isAccessDenied(*failure)) accessDenied_->store(true);
  loaded_ = true;
  objects_ = std::move(objects);
  dropVanishedPeripherals();
  for (const auto& [path, peripheral] : std::map(peripherals_)) {
    if (const auto* device = properties(path, kDeviceInterface)) peripheral->deviceChanged(*device);
  }
  updateState();
}

void BluezCentralManager::busInterfacesAdded(const std::string& path, InterfaceMap interfaces) {
  auto keep = shared_from_this();
  if (!objects_.contains(path) && objects_.size() >= kMaximumObjects) return;
  auto& object = objects_[path];
  const bool adapter = interfaces.contains(kAdapterInterface);
  const bool device = interfaces.contains(kDeviceInterface);
  for (auto& [name, properties] : interfaces) {
    if (object.size() < kMaximumInterfaces || object.contains(name)) {
      object.insert_or_assign(name, std::move(properties));
    }
  }
  if (adapter) updateState();
  if (device) offerAdvertisement(path);
}

void BluezCentralManager::busInterfacesRemoved(const std::string& path,
                                               const std::vector<std::string>& interfaces) {
  auto keep = shared_from_this();
  auto object = objects_.find(path);
  if (object == objects_.end()) return;
  for (const auto& name : interfaces) object->second.erase(name);
  if (object->second.empty()) objects_.erase(object);
  const auto touches = [&](std::string_view name) {
    return std::find(interfaces.begin(), interfaces.end(), name) != interfaces.end();
  };
  if (touches(kDeviceInterface)) dropVanishedPeripherals();
  if (touches(kAdapterInterface)) updateState();
}

void BluezCentralManager::busPropertiesChanged(const std::string& path,
                                               const std::string& interface,
                                               PropertyMap changed,
                                               const std::vector<std::string>& invalidated) {
  auto keep = shared_from_this();
  auto object = objects_.find(path);
  if (object == objects_.end()) return;
  auto properties = object->second.find(interface);
  if (properties == object->second.end()) return;
  for (const auto& [name, value] : changed) {
    if (properties->second.size() < kMaximumProperties || properties->second.contains(name)) {
      properties->second.insert_or_assign(name, value);
    }
  }
  for (const auto& name : invalidated) properties->second.erase(name);

  if (interface == kAdapterInterface) {
    if (adapterPath() == path) updateState();
  } else if (interface == kDeviceInterface) {
    if (auto found = peripherals_.find(path); found != peripherals_.end()) {
      auto peripheral = found->second;
      peripheral->deviceChanged(changed);
    }
    if (isAdvertisementChange(changed)) offerAdvertisement(path);
  } else if (interface == kCharacteristicInterface) {
    if (auto owner = ownerOf(path)) owner->characteristicChanged(path, changed);
  }
}

}  // namespace orvix::platform::linux_bluetooth
