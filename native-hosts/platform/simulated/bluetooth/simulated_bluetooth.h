#pragma once

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "common/time/time_source.h"
#include "platform/bluetooth.h"
#include "platform/simulated/bluetooth/bluetooth_scenario.h"
#include "platform/simulated/bluetooth/simulated_central_manager.h"
#include "platform/simulated/bluetooth/simulated_peripheral.h"

namespace orvix::platform::simulated {

// A deterministic Bluetooth stack on a TimeSource: the permission, the adapter, and devices that
// advertise, that the system remembers or holds connected. Tests script it through the
// Simulate... hooks and read back what the host asked of it through the counters. Every
// callback is delivered on the time source's main loop. Must be destroyed before the time
// source; a manager handed out may outlive it only unused.
class SimulatedBluetooth final : public Bluetooth {
 public:
  SimulatedBluetooth(TimeSource& time, BluetoothScenario scenario);
  ~SimulatedBluetooth() override;

  BluetoothAuthorization authorization() const override { return authorization_; }
  std::shared_ptr<CentralManager> makeCentralManager(CentralManagerDelegate& delegate) override;

  // --- Scripting hooks -------------------------------------------------------------------
  // The user changes the permission in the system settings. Managers that exist keep reporting
  // what they reported before (the platform does not revive a refused manager).
  void simulateAuthorizationChange(BluetoothAuthorization authorization);
  // The user answers the open permission prompt: managers waiting on it follow the answer.
  void simulatePromptAnswer(BluetoothAuthorization answer);
  // The adapter goes on, off, resets...: every authorized manager reports the new state.
  void simulateAdapterState(CentralState state);
  // One advertisement of a scenario device right now, to every scanning manager.
  void simulateAdvertisement(const BluetoothUuid& identifier, int rssi);
  // Every manager reports its unchanged state once more (a duplicate platform callback).
  void simulateDuplicateStateUpdate();
  void addDevice(SimulatedDevice device);
  // The link to a connected device drops without anyone asking (out of range, battery).
  void simulateLinkLoss(const BluetoothUuid& identifier);
  // The system ends every running scan by itself (a stack that can refuse discovery).
  void simulateScanEndedBySystem();

  // --- What the host asked for -----------------------------------------------------------
  int centralManagersCreated() const { return centralManagersCreated_; }
  int promptsShown() const { return promptsShown_; }
  bool promptOpen() const { return promptOpen_; }
  int scanRequests() const { return scanRequests_; }
  std::optional<bool> lastScanAllowedDuplicates() const { return lastScanAllowedDuplicates_; }
  int stopScanRequests() const { return stopScanRequests_; }
  int connectRequests() const { return connectRequests_; }
  int cancelConnectionRequests() const { return cancelConnectionRequests_; }
  bool anyManagerScanning() const;

  // --- For the simulated objects -----------------------------------------------------------
  TimeSource& time() { return time_; }
  CentralState adapterState() const { return adapter_; }
  const std::vector<std::shared_ptr<SimulatedPeripheral>>& peripherals() const {
    return peripherals_;
  }
  std::shared_ptr<SimulatedPeripheral> peripheral(const BluetoothUuid& identifier) const;
  void countScanRequest(bool allowDuplicates) {
    ++scanRequests_;
    lastScanAllowedDuplicates_ = allowDuplicates;
  }
  void countStopScan() { ++stopScanRequests_; }
  void countConnect() { ++connectRequests_; }
  void countCancelConnection() { ++cancelConnectionRequests_; }

 private:
  template <typename Action>
  void forEachManager(Action action);

  TimeSource& time_;
  BluetoothAuthorization authorization_;
  std::optional<PromptAnswer> promptAnswer_;
  CentralState adapter_;
  std::vector<std::shared_ptr<SimulatedPeripheral>> peripherals_;
  std::vector<std::weak_ptr<SimulatedCentralManager>> managers_;
  std::vector<TimerHandle> scheduled_;
  int centralManagersCreated_ = 0;
  int promptsShown_ = 0;
  bool promptOpen_ = false;
  int scanRequests_ = 0;
  std::optional<bool> lastScanAllowedDuplicates_;
  int stopScanRequests_ = 0;
  int connectRequests_ = 0;
  int cancelConnectionRequests_ = 0;
  // Tasks posted with a weak reference to this run only while the world exists.
  std::shared_ptr<int> liveness_ = std::make_shared<int>(0);
};

}  // namespace orvix::platform::simulated
