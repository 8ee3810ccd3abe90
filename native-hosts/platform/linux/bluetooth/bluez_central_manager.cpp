#include "platform/linux/bluetooth/bluez_central_manager.h"

#include <algorithm>

#include "platform/linux/bluetooth/bluez_mapping.h"
#include "platform/linux/bluetooth/bus_message_reading.h"

namespace orvix::platform::linux_bluetooth {

BluezCentralManager::BluezCentralManager(RunLoop& mainLoop, CentralManagerDelegate& delegate,
                                         std::shared_ptr<std::atomic<bool>> accessDenied)
    : mainLoop_(mainLoop), delegate_(&delegate), accessDenied_(std::move(accessDenied)) {}

BluezCentralManager::~BluezCentralManager() {
  if (serviceTimer_) serviceTimer_->cancel();
}

void BluezCentralManager::start() {
  bus_ = std::make_unique<BluezBus>(mainLoop_, *this);
  discovery_ = std::make_unique<BluezDiscovery>(
      mainLoop_, [this](BusCall call, BusReply reply) { this->call(std::move(call), std::move(reply)); },
      [this](const BusError& error) { discoveryFailed(error); });
}

void BluezCentralManager::call(BusCall call, BusReply reply) {
  if (bus_) bus_->call(std::move(call), std::move(reply));
}

void BluezCentralManager::acquireWriteMtu(std::string path, MtuReply reply) {
  if (bus_) bus_->acquireWriteMtu(std::move(path), std::move(reply));
}

void BluezCentralManager::finishCalls(Duration limit) {
  if (bus_) bus_->finishCalls(limit);
}

std::shared_ptr<BluezPeripheral> BluezCentralManager::ownerOf(const std::string& path) const {
  for (const auto& [identifier, peripheral] : peripherals_) {
    const auto& devicePath = peripheral->path();
    if (peripheral->bound() && path.size() > devicePath.size() &&
        path.compare(0, devicePath.size(), devicePath) == 0 && path[devicePath.size()] == '/') {
      return peripheral;
    }
  }
  return nullptr;
}

std::shared_ptr<BluezPeripheral> BluezCentralManager::boundAt(const std::string& path) const {
  for (const auto& [identifier, peripheral] : peripherals_) {
    if (peripheral->bound() && peripheral->path() == path) return peripheral;
  }
  return nullptr;
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
  for (const auto& [path, interfaces] : objects_) {
    if (identifierAt(path)) paths.push_back(path);
  }
  return paths;
}

std::optional<BluetoothUuid> BluezCentralManager::identifierAt(const std::string& path) const {
  const auto adapter = adapterPath();
  const auto* device = properties(path, kDeviceInterface);
  if (!adapter || !device) return std::nullopt;
  const auto* owner = property<std::string>(*device, "Adapter");
  if (!owner || *owner != *adapter) return std::nullopt;
  const auto* adapterAddress = property<std::string>(*properties(*adapter, kAdapterInterface),
                                                     "Address");
  const auto* deviceAddress = property<std::string>(*device, "Address");
  // Without addresses the object paths name the two as uniquely, if less durably.
  return peripheralIdentifier(adapterAddress ? *adapterAddress : *adapter,
                              deviceAddress ? *deviceAddress : path);
}

CentralState BluezCentralManager::currentState() const {
  if (failure_) {
    return isAccessDenied(*failure_) ? CentralState::unauthorized : CentralState::unsupported;
  }
  if (serviceGone_) return serviceGaveUp_ ? CentralState::unsupported : CentralState::resetting;
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
    if (discovery_) discovery_->reset();
  }
  if (delegate_) delegate_->centralManagerDidUpdateState(*this);
  refreshDiscovery();
}

void BluezCentralManager::refreshDiscovery() {
  const auto adapter = adapterPath();
  if (!discovery_ || !adapter || reported_ != CentralState::poweredOn) return;
  const bool waiting = std::any_of(peripherals_.begin(), peripherals_.end(), [](const auto& p) {
    return p.second->awaitingDevice();
  });
  discovery_->want(*adapter, scanning_ || waiting, scanning_ && allowDuplicates_);
}

void BluezCentralManager::discoveryFailed(const BusError& error) {
  auto keep = shared_from_this();
  // The adapter is going off: its state change follows and ends the scan the platform's way
  // (a scan the host still holds starts again when the adapter is back on).
  if (error.name == "org.bluez.Error.NotReady") return;
  const auto reported = bluetoothError(error);
  const bool wasScanning = std::exchange(scanning_, false);
  // A connection that waits for its device to be heard again cannot wait any longer.
  for (const auto& [identifier, peripheral] : std::map(peripherals_)) {
    if (peripheral->awaitingDevice()) peripheral->connectionImpossible(reported);
  }
  if (wasScanning && delegate_) delegate_->didEndScan(*this, reported);
}

std::shared_ptr<BluezPeripheral> BluezCentralManager::peripheralAt(const std::string& path) {
  const auto identifier = identifierAt(path);
  if (!identifier) return nullptr;
  std::shared_ptr<BluezPeripheral> peripheral;
  if (auto found = peripherals_.find(*identifier); found != peripherals_.end()) {
    peripheral = found->second;
  } else {
    peripheral = std::make_shared<BluezPeripheral>(weak_from_this(), *identifier);
    peripherals_.emplace(*identifier, peripheral);
  }
  if (!peripheral->bound() || peripheral->path() != path) peripheral->bind(path);
  forgetUnheldPeripherals();  // this one is bound, so it stays
  return peripheral;
}

void BluezCentralManager::forgetUnheldPeripherals() {
  if (peripherals_.size() <= kMaximumRememberedPeripherals) return;
  std::erase_if(peripherals_, [](const auto& entry) {
    const auto& peripheral = entry.second;
    return !peripheral->bound() && !peripheral->awaitingDevice() && peripheral.use_count() == 1;
  });
}

BluezPeripheral* BluezCentralManager::own(const std::shared_ptr<Peripheral>& peripheral) {
  if (!peripheral) return nullptr;
  auto found = peripherals_.find(peripheral->identifier());
  return found == peripherals_.end() ? nullptr : found->second.get();
}

void BluezCentralManager::scanForPeripherals(bool allowDuplicates) {
  // A scan request on an adapter that is not on is ignored, as the platform's is.
  if (reported_ != CentralState::poweredOn || !adapterPath()) return;
  scanning_ = true;
  allowDuplicates_ = allowDuplicates;
  deliveredThisScan_.clear();
  refreshDiscovery();
}

void BluezCentralManager::stopScan() {
  scanning_ = false;
  refreshDiscovery();
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
      if (identifierAt(path) == identifier) {
        found.push_back(peripheralAt(path));
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
  auto peripheral = peripheralAt(path);
  if (!peripheral) return;
  if (!allowDuplicates_ && !deliveredThisScan_.insert(peripheral->identifier()).second) return;
  const auto& device = *properties(path, kDeviceInterface);
  const auto* rssi = property<std::int64_t>(device, "RSSI");
  delegate_->didDiscover(*this, peripheral, advertisementOf(device),
                         rssi ? static_cast<int>(std::clamp<std::int64_t>(*rssi, -128, 127)) : 127);
}

void BluezCentralManager::bindPeripherals() {
  std::map<BluetoothUuid, std::string> present;
  for (const auto& path : devicePaths()) present.emplace(*identifierAt(path), path);
  // Copied first: a delegate may call back into the manager.
  for (const auto& [identifier, peripheral] : std::map(peripherals_)) {
    if (auto found = present.find(identifier); found != present.end()) {
      peripheral->bind(found->second);
      if (const auto* device = properties(found->second, kDeviceInterface)) {
        peripheral->deviceChanged(*device);
      }
    } else if (peripheral->bound()) {
      peripheral->unbind();
    }
  }
  forgetUnheldPeripherals();
}

void BluezCentralManager::busObjectsLoaded(const std::optional<BusError>& failure,
                                           ObjectMap objects) {
  auto keep = shared_from_this();  // a delegate may let go of the manager
  failure_ = failure;
  if (failure && isAccessDenied(*failure)) accessDenied_->store(true);
  loaded_ = true;
  serviceGone_ = false;
  if (serviceTimer_) serviceTimer_->cancel();
  objects_ = std::move(objects);
  if (discovery_) discovery_->reset();  // a new tree: a new bluetoothd, or none
  // The state first: a link that ends with it is the adapter's loss, not the device's.
  updateState();
  bindPeripherals();
}

void BluezCentralManager::busServiceGone() {
  auto keep = shared_from_this();
  serviceGone_ = true;
  serviceGaveUp_ = false;
  objects_.clear();
  if (discovery_) discovery_->reset();
  if (serviceTimer_) serviceTimer_->cancel();
  serviceTimer_ = mainLoop_.scheduleAfter(kServiceReturnPatience,
                                          [weak = weak_from_this()] {
                                            auto self = weak.lock();
                                            if (!self || !self->serviceGone_) return;
                                            self->serviceGaveUp_ = true;
                                            self->updateState();
                                          });
  updateState();
  bindPeripherals();
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
  if (!device) return;
  // A device the manager already knows is bound to its (new) object, and a connection that
  // waited for it goes ahead.
  if (const auto identifier = identifierAt(path); identifier && peripherals_.contains(*identifier)) {
    auto peripheral = peripheralAt(path);
    if (peripheral) peripheral->deviceChanged(*properties(path, kDeviceInterface));
  }
  offerAdvertisement(path);
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
  if (touches(kAdapterInterface)) updateState();
  if (touches(kDeviceInterface) || touches(kAdapterInterface)) bindPeripherals();
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
  // A notified value is handed on, not kept: the mirror holds no copy of every packet.
  const bool value = interface == kCharacteristicInterface && changed.contains("Value");
  for (const auto& [name, changedValue] : changed) {
    if (value && name == "Value") continue;
    if (properties->second.size() < kMaximumProperties || properties->second.contains(name)) {
      properties->second.insert_or_assign(name, changedValue);
    }
  }
  for (const auto& name : invalidated) properties->second.erase(name);

  if (interface == kAdapterInterface) {
    if (adapterPath() == path) updateState();
  } else if (interface == kDeviceInterface) {
    if (auto peripheral = boundAt(path)) peripheral->deviceChanged(changed);
    if (isAdvertisementChange(changed)) offerAdvertisement(path);
  } else if (interface == kCharacteristicInterface) {
    if (auto owner = ownerOf(path)) owner->characteristicChanged(path, changed);
  }
}

void BluezCentralManager::busValuesLost(const std::string& path, std::size_t count) {
  auto keep = shared_from_this();
  if (auto owner = ownerOf(path)) owner->valuesLost(path, count);
}

}  // namespace orvix::platform::linux_bluetooth
