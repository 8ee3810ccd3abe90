#pragma once

// The Bluetooth LE central the recorder link runs on, shaped after the platform's central manager
// and peripheral objects so that a native binding is a thin adapter.
//
// Notes for implementers:
// - Every callback of CentralManagerDelegate and PeripheralDelegate is delivered on the host's
//   main run loop, never from inside the call that caused it (a scan request, a connect, a
//   subscription): the host may call back into the manager from a callback.
// - Every operation below is called on the main thread only.
// - Peripherals compare by identifier(): the same device keeps its identifier across discovery,
//   retrieval from the system's records and reconnection, even when the objects differ.
// - A delegate is held without ownership. Whoever clears a delegate (setDelegate(nullptr)) must
//   receive no further callback from that object, even one already queued.
// - A notified value travels with its callback: didUpdateValue hands over the bytes of that one
//   notification. A binding whose stack delivers values on another thread copies them there and
//   posts the copy with the callback, so a later notification can never overwrite an earlier one
//   before the host has seen it. The bytes are valid only during the call.
// - Failures of a request arrive as a callback carrying a BluetoothError; nothing throws.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/time/time_types.h"
#include "common/uuid.h"

namespace orvix::platform {

// A Bluetooth UUID in its 128-bit form (16-bit short forms are expanded by the binding).
using BluetoothUuid = Uuid;

// Process-wide Bluetooth permission; readable without creating a central manager.
enum class BluetoothAuthorization { notDetermined, restricted, denied, allowedAlways };

enum class CentralState { unknown, resetting, unsupported, unauthorized, poweredOff, poweredOn };

enum class PeripheralState { disconnected, connecting, connected, disconnecting };

enum class WriteType { withResponse, withoutResponse };

// Characteristic property bits, with the values the Bluetooth core standard gives them.
inline constexpr std::uint32_t kPropertyWrite = 0x08;
inline constexpr std::uint32_t kPropertyNotify = 0x10;
inline constexpr std::uint32_t kPropertyIndicate = 0x20;

struct BluetoothError {
  int code = 0;
  std::string description;
};

// What one advertisement carried. Any key may be missing; a list that is present may be empty.
struct AdvertisementData {
  std::optional<std::string> localName;
  std::optional<std::vector<BluetoothUuid>> serviceUuids;
  std::optional<std::vector<BluetoothUuid>> overflowServiceUuids;
};

class Characteristic {
 public:
  virtual ~Characteristic() = default;
  virtual BluetoothUuid uuid() const = 0;
  virtual std::uint32_t properties() const = 0;
  virtual bool isNotifying() const = 0;
};

class Service {
 public:
  virtual ~Service() = default;
  virtual BluetoothUuid uuid() const = 0;
  // Filled by a characteristic discovery; empty before.
  virtual std::vector<std::shared_ptr<Characteristic>> characteristics() const = 0;
};

class Peripheral;

class PeripheralDelegate {
 public:
  virtual ~PeripheralDelegate() = default;
  virtual void didDiscoverServices(Peripheral& peripheral,
                                   const std::optional<BluetoothError>& error) = 0;
  virtual void didDiscoverCharacteristics(Peripheral& peripheral, Service& service,
                                          const std::optional<BluetoothError>& error) = 0;
  virtual void didUpdateNotificationState(Peripheral& peripheral, Characteristic& characteristic,
                                          const std::optional<BluetoothError>& error) = 0;
  // A notification or indication carrying `value`. With an error the value means nothing (and is
  // usually empty).
  virtual void didUpdateValue(Peripheral& peripheral, Characteristic& characteristic,
                              std::span<const std::uint8_t> value,
                              const std::optional<BluetoothError>& error) = 0;
  // The device's confirmation of a write with response.
  virtual void didWriteValue(Peripheral& peripheral, Characteristic& characteristic,
                             const std::optional<BluetoothError>& error) = 0;
  // The platform can take more writes without response again.
  virtual void isReadyToSendWriteWithoutResponse(Peripheral& peripheral) = 0;
};

class Peripheral {
 public:
  virtual ~Peripheral() = default;

  virtual BluetoothUuid identifier() const = 0;
  // The name the system has cached for the device, if any.
  virtual std::optional<std::string> name() const = 0;
  virtual PeripheralState state() const = 0;
  virtual void setDelegate(PeripheralDelegate* delegate) = 0;

  // Results through PeripheralDelegate::didDiscoverServices; services() then holds them.
  virtual void discoverServices(const std::vector<BluetoothUuid>& serviceUuids) = 0;
  virtual std::vector<std::shared_ptr<Service>> services() const = 0;
  virtual void discoverCharacteristics(const std::vector<BluetoothUuid>& characteristicUuids,
                                       Service& service) = 0;

  // Confirmation through didUpdateNotificationState; values through didUpdateValue.
  virtual void setNotifyValue(bool enabled, Characteristic& characteristic) = 0;

  // A write with response is confirmed through didWriteValue; a write without response is not
  // confirmed, and canSendWriteWithoutResponse() says when the platform takes the next one.
  virtual void writeValue(std::span<const std::uint8_t> bytes, Characteristic& characteristic,
                          WriteType type) = 0;
  virtual std::size_t maximumWriteValueLength(WriteType type) const = 0;
  virtual bool canSendWriteWithoutResponse() const = 0;
};

class CentralManager;

class CentralManagerDelegate {
 public:
  virtual ~CentralManagerDelegate() = default;
  // The manager's state() changed (and once after creation, when the state is first known).
  virtual void centralManagerDidUpdateState(CentralManager& central) = 0;
  // One advertisement while scanning. `rssi` is in dBm as the platform reports it (127 means
  // "not available" on some platforms and is not filtered here).
  virtual void didDiscover(CentralManager& central, const std::shared_ptr<Peripheral>& peripheral,
                           const AdvertisementData& advertisement, int rssi) = 0;
  virtual void didConnect(CentralManager& central,
                          const std::shared_ptr<Peripheral>& peripheral) = 0;
  virtual void didFailToConnect(CentralManager& central,
                                const std::shared_ptr<Peripheral>& peripheral,
                                const std::optional<BluetoothError>& error) = 0;
  virtual void didDisconnect(CentralManager& central, const std::shared_ptr<Peripheral>& peripheral,
                             const std::optional<BluetoothError>& error) = 0;
  // The system ended this client's scan by itself while the adapter stayed on (it refused to
  // start it or lost it); isScanning() is false from here on. CoreBluetooth never does this; a
  // stack whose system can refuse a scan (BlueZ) must say so rather than look as if it scanned.
  virtual void didEndScan(CentralManager& /*central*/, const BluetoothError& /*error*/) {}
};

class CentralManager {
 public:
  virtual ~CentralManager() = default;

  virtual CentralState state() const = 0;
  virtual void setDelegate(CentralManagerDelegate* delegate) = 0;

  virtual bool isScanning() const = 0;
  // Scans for every advertising device (no service filter). With `allowDuplicates` each
  // advertisement of a device is delivered; without, a device is delivered once per scan.
  virtual void scanForPeripherals(bool allowDuplicates) = 0;
  virtual void stopScan() = 0;

  // Devices connected to the system (by any application) offering one of `serviceUuids`.
  virtual std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
      const std::vector<BluetoothUuid>& serviceUuids) = 0;
  // Devices the system knows by these identifiers, in range or not.
  virtual std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(
      const std::vector<BluetoothUuid>& identifiers) = 0;

  // Outcome through didConnect, didFailToConnect or (for an established link) didDisconnect.
  virtual void connect(const std::shared_ptr<Peripheral>& peripheral) = 0;
  virtual void cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) = 0;
};

// The process's entry to the platform's Bluetooth stack.
class Bluetooth {
 public:
  virtual ~Bluetooth() = default;

  // Read afresh at every call: the user may change it in the system settings at any time.
  virtual BluetoothAuthorization authorization() const = 0;

  // Creating a manager while the authorization is not determined shows the system's permission
  // prompt. The first state arrives later through centralManagerDidUpdateState. The manager
  // never asks the user to switch the adapter on (no power alert).
  virtual std::shared_ptr<CentralManager> makeCentralManager(CentralManagerDelegate& delegate) = 0;

  // The process is about to exit (main thread, at most `limit`): a stack whose system keeps the
  // links of a client that is gone (BlueZ) makes sure the requests already made, such as a
  // cancelled connection, reach it. CoreBluetooth drops a gone client's links by itself.
  virtual void finishBeforeExit(Duration /*limit*/) {}
};

}  // namespace orvix::platform
