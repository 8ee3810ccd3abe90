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
#include "platform/linux/bluetooth/bluez_peripheral.h"

namespace orvix::platform::linux_bluetooth {

// A central manager over BlueZ: a mirror of BlueZ's object tree, kept on the main thread from
// what the bus thread delivers, turned into the manager's state, advertisements and link events
// (see bluez_mapping.h for where the two do not map one to one). Each manager has its own bus
// connection.
class BluezCentralManager final : public CentralManager,
                                  public BluezBusListener,
                                  public std::enable_shared_from_this<BluezCentralManager> {
 public:
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

  // BluezBusListener (main loop).
  void busObjectsLoaded(const std::optional<BusError>& failure, ObjectMap objects) override;
  void busInterfacesAdded(const std::string& path, InterfaceMap interfaces) override;
  void busInterfacesRemoved(const std::string& path,
                            const std::vector<std::string>& interfaces) override;
  void busPropertiesChanged(const std::string& path, const std::string& interface,
                            PropertyMap changed,
                            const std::vector<std::string>& invalidated) override;
  void busSocketValue(const std::string& path, std::vector<std::uint8_t> value) override;
  void busSocketClosed(const std::string& path, SocketKind kind) override;

  // For the peripherals.
  RunLoop& mainLoop() { return mainLoop_; }
  const ObjectMap& objects() const { return objects_; }
  const PropertyMap* properties(const std::string& path, std::string_view interface) const;
  void call(BusCall call, BusReply reply);
  void acquire(std::string path, SocketKind kind, AcquireReply reply);
  void release(std::string path, SocketKind kind);
  void writeToSocket(std::string path, std::vector<std::uint8_t> bytes,
                     std::function<void(bool)> written);
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
  std::shared_ptr<BluezPeripheral> peripheralAt(const std::string& path);
  BluezPeripheral* own(const std::shared_ptr<Peripheral>& peripheral);
  void offerAdvertisement(const std::string& path);
  void dropVanishedPeripherals();
  // The peripheral whose device object holds the object at `path`.
  std::shared_ptr<BluezPeripheral> ownerOf(const std::string& path) const;

  RunLoop& mainLoop_;
  CentralManagerDelegate* delegate_;
  std::shared_ptr<std::atomic<bool>> accessDenied_;
  std::unique_ptr<BluezBus> bus_;
  ObjectMap objects_;
  bool loaded_ = false;
  std::optional<BusError> failure_;
  CentralState reported_ = CentralState::unknown;
  bool stateReported_ = false;
  bool scanning_ = false;
  bool discoveryStarted_ = false;
  bool allowDuplicates_ = false;
  std::set<BluetoothUuid> deliveredThisScan_;
  std::map<std::string, std::shared_ptr<BluezPeripheral>> peripherals_;  // by device path
};

}  // namespace orvix::platform::linux_bluetooth
