#include "platform/simulated/bluetooth/simulated_central_manager.h"

#include <algorithm>

#include "platform/simulated/bluetooth/simulated_bluetooth.h"

namespace orvix::platform::simulated {

SimulatedCentralManager::SimulatedCentralManager(SimulatedBluetooth& world,
                                                 CentralManagerDelegate& delegate, bool authorized)
    : world_(world), delegate_(&delegate), authorized_(authorized) {}

SimulatedCentralManager::~SimulatedCentralManager() {
  cancelAdvertisingTimers();
  for (auto& timer : linkTimers_) timer.cancel();
}

CentralState SimulatedCentralManager::state() const { return reportedState_; }

CentralState SimulatedCentralManager::liveState() const {
  return authorized_ ? world_.adapterState() : CentralState::unauthorized;
}

void SimulatedCentralManager::postStateUpdate() {
  world_.time().mainLoop().post([weak = weak_from_this(), state = liveState()] {
    auto self = weak.lock();
    if (!self) return;
    self->reportedState_ = state;
    if (self->delegate_) self->delegate_->centralManagerDidUpdateState(*self);
  });
}

void SimulatedCentralManager::adapterChanged() {
  if (liveState() == CentralState::poweredOn) return;
  scanning_ = false;
  cancelAdvertisingTimers();
}

void SimulatedCentralManager::scanForPeripherals(bool allowDuplicates) {
  world_.countScanRequest(allowDuplicates);
  // A scan request on an adapter that is not on is ignored by the platform (with a warning).
  if (liveState() != CentralState::poweredOn) return;
  cancelAdvertisingTimers();
  scanning_ = true;
  allowDuplicates_ = allowDuplicates;
  deliveredThisScan_.clear();
  startAdvertisingTimers();
}

void SimulatedCentralManager::stopScan() {
  world_.countStopScan();
  scanning_ = false;
  cancelAdvertisingTimers();
}

void SimulatedCentralManager::endScanBySystem() {
  if (!scanning_) return;
  scanning_ = false;
  cancelAdvertisingTimers();
  world_.time().mainLoop().post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->delegate_) {
      self->delegate_->didEndScan(*self, BluetoothError{1, "the system ended the scan"});
    }
  });
}

void SimulatedCentralManager::startAdvertisingTimers() {
  for (std::size_t i = 0; i < world_.peripherals().size(); ++i) scheduleAdvertisement(i);
}

void SimulatedCentralManager::cancelAdvertisingTimers() {
  for (auto& timer : advertisingTimers_) timer.cancel();
  advertisingTimers_.clear();
}

void SimulatedCentralManager::scheduleAdvertisement(std::size_t deviceIndex) {
  const auto& device = world_.peripherals()[deviceIndex]->device();
  if (device.advertisingInterval <= Duration::zero()) return;
  // Fired timers are dropped from the list as it is rebuilt, so it stays one per device.
  std::erase_if(advertisingTimers_, [](const TimerHandle& t) { return !t.isPending(); });
  advertisingTimers_.push_back(world_.time().mainLoop().scheduleAfter(
      device.advertisingInterval, [weak = weak_from_this(), deviceIndex] {
        auto self = weak.lock();
        if (!self || !self->scanning_) return;
        auto& peripheral = *self->world_.peripherals()[deviceIndex];
        const auto& rssi = peripheral.device().rssi;
        const int value =
            rssi[static_cast<std::size_t>(peripheral.advertisementsSent) % rssi.size()];
        ++peripheral.advertisementsSent;
        self->scheduleAdvertisement(deviceIndex);
        self->offerAdvertisement(peripheral.identifier(), value);
      }));
}

void SimulatedCentralManager::offerAdvertisement(const BluetoothUuid& identifier, int rssi) {
  if (!scanning_ || liveState() != CentralState::poweredOn || !delegate_) return;
  auto peripheral = world_.peripheral(identifier);
  if (!peripheral || peripheral->holdsLink()) return;  // a connected recorder stops advertising
  if (!allowDuplicates_ && !deliveredThisScan_.insert(identifier).second) return;
  delegate_->didDiscover(*this, peripheral, peripheral->device().advertisement, rssi);
}

std::vector<std::shared_ptr<Peripheral>> SimulatedCentralManager::retrieveConnectedPeripherals(
    const std::vector<BluetoothUuid>& serviceUuids) {
  std::vector<std::shared_ptr<Peripheral>> found;
  if (liveState() != CentralState::poweredOn) return found;
  for (const auto& peripheral : world_.peripherals()) {
    const auto& offered = peripheral->device().gattServices;
    const bool offers = std::any_of(serviceUuids.begin(), serviceUuids.end(), [&](const auto& u) {
      return std::find(offered.begin(), offered.end(), u) != offered.end();
    });
    if (peripheral->device().connectedToSystem && offers) found.push_back(peripheral);
  }
  return found;
}

std::vector<std::shared_ptr<Peripheral>> SimulatedCentralManager::retrievePeripherals(
    const std::vector<BluetoothUuid>& identifiers) {
  std::vector<std::shared_ptr<Peripheral>> found;
  if (liveState() != CentralState::poweredOn) return found;
  for (const auto& identifier : identifiers) {
    auto peripheral = world_.peripheral(identifier);
    if (peripheral &&
        (peripheral->device().knownToSystem || peripheral->device().connectedToSystem)) {
      found.push_back(peripheral);
    }
  }
  return found;
}

void SimulatedCentralManager::connect(const std::shared_ptr<Peripheral>& peripheral) {
  world_.countConnect();
  auto device = world_.peripheral(peripheral->identifier());
  if (!device || liveState() != CentralState::poweredOn) return;
  device->setState(PeripheralState::connecting);
  // A device in range (advertising, or already held by the system) answers at once; any other
  // attempt stays pending, as the platform's does, until it is cancelled.
  const auto& spec = device->device();
  const bool inRange = spec.advertisingInterval > Duration::zero() || spec.connectedToSystem;
  if (!inRange || spec.connection == ConnectionAnswer::hangs) return;
  world_.time().mainLoop().post([weak = weak_from_this(), device] {
    auto self = weak.lock();
    if (!self || device->state() != PeripheralState::connecting) return;
    if (device->device().connection == ConnectionAnswer::fails) {
      device->setState(PeripheralState::disconnected);
      if (self->delegate_) {
        self->delegate_->didFailToConnect(*self, device, BluetoothError{1, "connection failed"});
      }
      return;
    }
    device->setState(PeripheralState::connected);
    if (device->device().dropAfter > Duration::zero()) {
      self->scheduleLinkEnd(device, device->device().dropAfter, PeripheralState::connected);
    }
    if (self->delegate_) self->delegate_->didConnect(*self, device);
  });
}

void SimulatedCentralManager::scheduleLinkEnd(const std::shared_ptr<SimulatedPeripheral>& device,
                                              Duration after, PeripheralState expected) {
  std::erase_if(linkTimers_, [](const TimerHandle& t) { return !t.isPending(); });
  linkTimers_.push_back(world_.time().mainLoop().scheduleAfter(
      after, [weak = weak_from_this(), device, expected] {
        auto self = weak.lock();
        if (!self || device->state() != expected) return;
        device->setState(PeripheralState::disconnected);
        self->postDisconnect(device);
      }));
}

void SimulatedCentralManager::cancelPeripheralConnection(
    const std::shared_ptr<Peripheral>& peripheral) {
  world_.countCancelConnection();
  auto device = world_.peripheral(peripheral->identifier());
  if (!device || device->state() == PeripheralState::disconnected) return;
  const bool wasConnected = device->state() == PeripheralState::connected;
  if (device->device().disconnectionHangs && device->state() != PeripheralState::connecting) {
    // The platform holds on to the link and never says it let go.
    device->setState(PeripheralState::disconnecting);
    return;
  }
  if (device->device().disconnectionDelay > Duration::zero() && device->holdsLink()) {
    if (!wasConnected) return;  // asked again: the platform is already letting go
    device->setState(PeripheralState::disconnecting);
    scheduleLinkEnd(device, device->device().disconnectionDelay, PeripheralState::disconnecting);
    return;
  }
  device->setState(PeripheralState::disconnected);
  if (!wasConnected) return;
  postDisconnect(device);
}

void SimulatedCentralManager::postDisconnect(const std::shared_ptr<Peripheral>& device) {
  world_.time().mainLoop().post([weak = weak_from_this(), device] {
    auto self = weak.lock();
    if (self && self->delegate_) self->delegate_->didDisconnect(*self, device, std::nullopt);
  });
}

}  // namespace orvix::platform::simulated
