#include "platform/simulated/bluetooth/simulated_bluetooth.h"

namespace orvix::platform::simulated {

SimulatedBluetooth::SimulatedBluetooth(TimeSource& time, BluetoothScenario scenario)
    : time_(time),
      authorization_(scenario.authorization),
      promptAnswer_(scenario.prompt),
      adapter_(scenario.adapter) {
  for (auto& device : scenario.devices) {
    peripherals_.push_back(std::make_shared<SimulatedPeripheral>(time_, std::move(device)));
  }
  for (const auto& change : scenario.adapterChanges) {
    scheduled_.push_back(time_.mainLoop().scheduleAfter(
        change.at, [this, state = change.state] { simulateAdapterState(state); }));
  }
}

SimulatedBluetooth::~SimulatedBluetooth() {
  for (auto& timer : scheduled_) timer.cancel();
}

std::shared_ptr<CentralManager> SimulatedBluetooth::makeCentralManager(
    CentralManagerDelegate& delegate) {
  ++centralManagersCreated_;
  if (authorization_ == BluetoothAuthorization::notDetermined && !promptOpen_) {
    // Creating the first manager is what makes the system ask the user.
    ++promptsShown_;
    promptOpen_ = true;
    if (promptAnswer_) {
      scheduled_.push_back(time_.mainLoop().scheduleAfter(
          promptAnswer_->after,
          [this, answer = promptAnswer_->answer] { simulatePromptAnswer(answer); }));
    }
  }
  auto manager = std::make_shared<SimulatedCentralManager>(
      *this, delegate, authorization_ == BluetoothAuthorization::allowedAlways);
  std::erase_if(managers_, [](const auto& weak) { return weak.expired(); });
  managers_.push_back(manager);
  manager->postStateUpdate();
  return manager;
}

template <typename Action>
void SimulatedBluetooth::forEachManager(Action action) {
  // Copied first: a callback may create or release managers.
  auto managers = managers_;
  for (const auto& weak : managers) {
    if (auto manager = weak.lock()) action(*manager);
  }
}

void SimulatedBluetooth::simulateAuthorizationChange(BluetoothAuthorization authorization) {
  authorization_ = authorization;
}

void SimulatedBluetooth::simulatePromptAnswer(BluetoothAuthorization answer) {
  if (!promptOpen_) return;
  promptOpen_ = false;
  authorization_ = answer;
  if (answer != BluetoothAuthorization::allowedAlways) return;
  forEachManager([](SimulatedCentralManager& manager) {
    if (manager.authorized()) return;
    manager.setAuthorized(true);
    manager.postStateUpdate();
  });
}

void SimulatedBluetooth::simulateAdapterState(CentralState state) {
  if (state == CentralState::unauthorized) return;  // not an adapter state
  adapter_ = state;
  forEachManager([](SimulatedCentralManager& manager) {
    if (!manager.authorized()) return;
    manager.adapterChanged();
    manager.postStateUpdate();
  });
}

void SimulatedBluetooth::simulateAdvertisement(const BluetoothUuid& identifier, int rssi) {
  // The world may be gone before the loop gets to this (a test replaces it).
  time_.mainLoop().post([this, alive = std::weak_ptr<int>(liveness_), identifier, rssi] {
    if (alive.expired()) return;
    forEachManager(
        [&](SimulatedCentralManager& manager) { manager.offerAdvertisement(identifier, rssi); });
  });
}

void SimulatedBluetooth::simulateDuplicateStateUpdate() {
  forEachManager([](SimulatedCentralManager& manager) { manager.postStateUpdate(); });
}

void SimulatedBluetooth::addDevice(SimulatedDevice device) {
  peripherals_.push_back(std::make_shared<SimulatedPeripheral>(time_, std::move(device)));
}

void SimulatedBluetooth::simulateLinkLoss(const BluetoothUuid& identifier) {
  auto device = peripheral(identifier);
  if (!device || (device->state() != PeripheralState::connected &&
                  device->state() != PeripheralState::disconnecting)) {
    return;
  }
  device->setState(PeripheralState::disconnected);
  forEachManager([&](SimulatedCentralManager& manager) { manager.postDisconnect(device); });
}

void SimulatedBluetooth::simulateScanEndedBySystem() {
  forEachManager([](SimulatedCentralManager& manager) { manager.endScanBySystem(); });
}

bool SimulatedBluetooth::anyManagerScanning() const {
  for (const auto& weak : managers_) {
    if (auto manager = weak.lock(); manager && manager->isScanning()) return true;
  }
  return false;
}

std::shared_ptr<SimulatedPeripheral> SimulatedBluetooth::peripheral(
    const BluetoothUuid& identifier) const {
  for (const auto& peripheral : peripherals_) {
    if (peripheral->identifier() == identifier) return peripheral;
  }
  return nullptr;
}

}  // namespace orvix::platform::simulated
