#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/time/run_loop.h"
#include "platform/bluetooth.h"
#include "platform/linux/bluetooth/bluez_bus.h"
#include "platform/linux/bluetooth/bluez_discovery.h"
#include "platform/linux/bluetooth/bluez_peripheral.h"

namespace orvix::platform::linux_bluetooth {

// A central manager over BlueZ: a mirror of BlueZ's object tree, kept on the main thread from
// what the bus thread delivers, turned into the manager's state, advertisements and link events
// (see bluez_mapping.h for where the two do not map one to one). Each manager has its own bus
// connection.
//
// A peripheral is one object per identifier for the life of the manager: when its device object
// goes (bluetoothd restarted, a temporary device dropped after discovery) and comes back, the
// same object is bound to it again, so a candidate the host holds can still be connected.
class BluezCentralManager final : public CentralManager,
                                  public BluezBusListener,
                                  public std::enable_shared_from_this<BluezCentralManager> {
 public:
  // How long bluetoothd may be gone before the adapter counts as unsupported rather than
  // resetting (systemd restarts it within a second or two).
  static constexpr Duration kServiceReturnPatience = std::chrono::seconds(10);
  // Peripherals without a device object are forgotten beyond this many, once nobody else holds
  // them; a busy place must not grow the manager without bound.
  static constexpr std::size_t kMaximumRememberedPeripherals = 256;

  BluezCentralManager(RunLoop& mainLoop, CentralManagerDelegate& delegate,
                      std::shared_ptr<std::atomic<bool>> accessDenied);
  ~BluezCentralManager() override;
  // Opens the bus; the first state arrives later on the main loop.
  void start();

  CentralState state() const override { return reported_; }
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

  // Main thread: every call made so far reaches BlueZ and is answered, or `limit` passes.
  void finishCalls(Duration limit);

  // BluezBusListener (main loop).
  void busObjectsLoaded(const std::optional<BusError>& failure, ObjectMap objects) override;
  void busServiceGone() override;
  void busInterfacesAdded(const std::string& path, InterfaceMap interfaces) override;
  void busInterfacesRemoved(const std::string& path,
                            const std::vector<std::string>& interfaces) override;
  void busPropertiesChanged(const std::string& path, const std::string& interface,
                            PropertyMap changed,
                            const std::vector<std::string>& invalidated) override;
  void busValuesLost(const std::string& path, std::size_t count) override;

  // For the peripherals.
  RunLoop& mainLoop() { return mainLoop_; }
  const ObjectMap& objects() const { return objects_; }
  const PropertyMap* properties(const std::string& path, std::string_view interface) const;
  void call(BusCall call, BusReply reply);
  void acquireWriteMtu(std::string path, MtuReply reply);
  // A peripheral started or stopped waiting for its device object: discovery follows.
  void refreshDiscovery();
  void deliverConnected(const std::shared_ptr<BluezPeripheral>& peripheral);
  void deliverConnectFailed(const std::shared_ptr<BluezPeripheral>& peripheral,
                            const BluetoothError& error);
  void deliverDisconnected(const std::shared_ptr<BluezPeripheral>& peripheral);

 private:
  CentralState currentState() const;
  void updateState();
  std::optional<std::string> adapterPath() const;
  // Device objects under the adapter, in path order.
  std::vector<std::string> devicePaths() const;
  // The identifier of the device object at `path`, when it is one under the adapter.
  std::optional<BluetoothUuid> identifierAt(const std::string& path) const;
  // The peripheral of the device object at `path`, made or bound to it as needed.
  std::shared_ptr<BluezPeripheral> peripheralAt(const std::string& path);
  BluezPeripheral* own(const std::shared_ptr<Peripheral>& peripheral);
  void offerAdvertisement(const std::string& path);
  // Binds every peripheral to its device object as the tree now stands.
  void bindPeripherals();
  void forgetUnheldPeripherals();
  // The peripheral whose device object holds the object at `path`.
  std::shared_ptr<BluezPeripheral> ownerOf(const std::string& path) const;
  // The peripheral bound to the device object at `path`.
  std::shared_ptr<BluezPeripheral> boundAt(const std::string& path) const;
  void discoveryFailed(const BusError& error);

  RunLoop& mainLoop_;
  CentralManagerDelegate* delegate_;
  std::shared_ptr<std::atomic<bool>> accessDenied_;
  std::unique_ptr<BluezBus> bus_;
  ObjectMap objects_;
  bool loaded_ = false;
  std::optional<BusError> failure_;
  // bluetoothd left the bus and has not come back yet; `serviceGaveUp_` once it stayed away.
  bool serviceGone_ = false;
  bool serviceGaveUp_ = false;
  std::optional<TimerHandle> serviceTimer_;
  CentralState reported_ = CentralState::unknown;
  bool stateReported_ = false;
  bool scanning_ = false;
  bool allowDuplicates_ = false;
  std::set<BluetoothUuid> deliveredThisScan_;
  std::map<BluetoothUuid, std::shared_ptr<BluezPeripheral>> peripherals_;  // by identifier
  std::unique_ptr<BluezDiscovery> discovery_;
};

}  // namespace orvix::platform::linux_bluetooth
