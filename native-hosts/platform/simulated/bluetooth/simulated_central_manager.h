#pragma once

#include <memory>
#include <set>
#include <vector>

#include "common/time/time_source.h"
#include "platform/bluetooth.h"

namespace orvix::platform::simulated {

class SimulatedBluetooth;
class SimulatedPeripheral;

// A central manager of the simulated stack. Its state follows the adapter once the user has
// allowed Bluetooth for it; before that it reports "unauthorized". Scanning delivers each
// advertising device's advertisements at the device's interval while the adapter is on.
class SimulatedCentralManager final : public CentralManager,
                                      public std::enable_shared_from_this<SimulatedCentralManager> {
 public:
  SimulatedCentralManager(SimulatedBluetooth& world, CentralManagerDelegate& delegate,
                          bool authorized);
  ~SimulatedCentralManager() override;

  CentralState state() const override;
  void setDelegate(CentralManagerDelegate* delegate) override { delegate_ = delegate; }
  bool isScanning() const override { return scanning_; }
  void scanForPeripherals(bool allowDuplicates) override;
  void stopScan() override;
  std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
      const std::vector<BluetoothUuid>& serviceUuids) override;
  std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(
      const std::vector<BluetoothUuid>& identifiers) override;
  void connect(const std::shared_ptr<Peripheral>& peripheral) override;
  void cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) override;

  // For the world.
  bool authorized() const { return authorized_; }
  void setAuthorized(bool authorized) { authorized_ = authorized; }
  // What the manager would report if asked now: the adapter's state once the user allowed it.
  CentralState liveState() const;
  // Posts one state callback carrying the state of this moment (the platform reports every
  // change, even two at the same instant).
  void postStateUpdate();
  // The adapter changed: scanning ends when it leaves poweredOn, as the platform's does.
  void adapterChanged();
  // Offers one advertisement of the device; dropped unless scanning on a powered adapter, and
  // when duplicates are off, once the device was delivered in this scan.
  void offerAdvertisement(const BluetoothUuid& identifier, int rssi);
  // The system ended the running scan by itself: scanning stops now, the delegate hears it next.
  void endScanBySystem();
  // Tells the delegate that the link to `device` ended.
  void postDisconnect(const std::shared_ptr<Peripheral>& device);
  bool allowsDuplicates() const { return allowDuplicates_; }

 private:
  void startAdvertisingTimers();
  void cancelAdvertisingTimers();
  void scheduleAdvertisement(std::size_t deviceIndex);
  // The link to `device` ends `after` from now, if the device is then still `expected`: a drop
  // of a connected device, or the platform letting go of a link it was asked to cancel.
  void scheduleLinkEnd(const std::shared_ptr<SimulatedPeripheral>& device, Duration after,
                       PeripheralState expected);

  SimulatedBluetooth& world_;
  CentralManagerDelegate* delegate_;
  bool authorized_;
  // What state() answers: the last state delivered to the delegate, as the platform's manager
  // reports unknown until its first state callback.
  CentralState reportedState_ = CentralState::unknown;
  bool scanning_ = false;
  bool allowDuplicates_ = false;
  std::set<BluetoothUuid> deliveredThisScan_;
  std::vector<TimerHandle> advertisingTimers_;
  std::vector<TimerHandle> linkTimers_;
};

}  // namespace orvix::platform::simulated
