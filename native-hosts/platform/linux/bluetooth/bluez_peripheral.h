#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/time/run_loop.h"
#include "platform/bluetooth.h"
#include "platform/linux/bluetooth/bluez_values.h"

namespace orvix::platform::linux_bluetooth {

class BluezCentralManager;

class BluezCharacteristic final : public Characteristic {
 public:
  BluezCharacteristic(std::string path, BluetoothUuid uuid, std::uint32_t properties)
      : path_(std::move(path)), uuid_(uuid), properties_(properties) {}
  BluetoothUuid uuid() const override { return uuid_; }
  std::uint32_t properties() const override { return properties_; }
  // This client's own subscription, confirmed by StartNotify; BlueZ's "Notifying" also counts
  // other clients' sessions, and stays true after a lost link.
  bool isNotifying() const override { return notifying_; }

  const std::string& path() const { return path_; }
  void setNotifying(bool notifying) { notifying_ = notifying; }
  void setProperties(std::uint32_t properties) { properties_ = properties; }

 private:
  std::string path_;
  BluetoothUuid uuid_;
  std::uint32_t properties_;
  bool notifying_ = false;
};

class BluezService final : public Service {
 public:
  BluezService(std::string path, BluetoothUuid uuid) : path_(std::move(path)), uuid_(uuid) {}
  BluetoothUuid uuid() const override { return uuid_; }
  std::vector<std::shared_ptr<Characteristic>> characteristics() const override {
    return characteristics_;
  }

  const std::string& path() const { return path_; }
  void setCharacteristics(std::vector<std::shared_ptr<Characteristic>> characteristics) {
    characteristics_ = std::move(characteristics);
  }

 private:
  std::string path_;
  BluetoothUuid uuid_;
  std::vector<std::shared_ptr<Characteristic>> characteristics_;
};

// One remote device, bound to its org.bluez.Device1 object while BlueZ has one.
// - Link: Device1.Connect, up when "Connected" is. BlueZ gives up on an attempt (its LE
//   connection timeout, the call's reply limit) where the platform waits on, so an attempt that
//   failed for a passing reason is sent again until it succeeds or is cancelled; one whose
//   device object is gone waits, discovering, until the device is heard again.
// - Cancelling a link ends it for the host at once (didDisconnect on the next turn of the main
//   loop, as the platform does); bluetoothd drops the link and answers Disconnect up to two
//   seconds later, and a new Connect waits for that.
// - Service discovery is BlueZ's own: "ServicesResolved", then the GATT objects under the device.
// - Subscriptions: StartNotify / StopNotify; notifications are the "Value" changes, which reach
//   the host in the order the bus carried them, across characteristics. bluetoothd's sockets
//   (AcquireNotify, AcquireWrite) are not used: two sockets keep no order between them, and a
//   held write socket makes bluetoothd refuse every WriteValue.
// - Writes: WriteValue with type "request" (answered by the device) or "command".
// - Readiness for writes without response: they are taken while fewer than
//   kWriteWithoutResponseWindow of them await BlueZ's reply; the one that makes room again is
//   the readiness signal.
class BluezPeripheral final : public Peripheral,
                              public std::enable_shared_from_this<BluezPeripheral> {
 public:
  static constexpr std::size_t kWriteWithoutResponseWindow = 16;
  static constexpr Duration kConnectRetryDelay = std::chrono::seconds(1);
  static constexpr Duration kWriteRetryDelay = std::chrono::milliseconds(20);
  static constexpr int kWriteRetries = 5;

  BluezPeripheral(std::weak_ptr<BluezCentralManager> manager, BluetoothUuid identifier);
  ~BluezPeripheral() override;

  BluetoothUuid identifier() const override { return identifier_; }
  std::optional<std::string> name() const override;
  PeripheralState state() const override { return state_; }
  void setDelegate(PeripheralDelegate* delegate) override;

  void discoverServices(const std::vector<BluetoothUuid>& serviceUuids) override;
  std::vector<std::shared_ptr<Service>> services() const override { return services_; }
  void discoverCharacteristics(const std::vector<BluetoothUuid>& characteristicUuids,
                               Service& service) override;
  void setNotifyValue(bool enabled, Characteristic& characteristic) override;
  void writeValue(std::span<const std::uint8_t> bytes, Characteristic& characteristic,
                  WriteType type) override;
  std::size_t maximumWriteValueLength(WriteType type) const override;
  bool canSendWriteWithoutResponse() const override {
    return outstandingWithoutResponse_ < kWriteWithoutResponseWindow;
  }

  // For the central manager (main thread).
  const std::string& path() const { return path_; }
  bool bound() const { return bound_; }
  // A connection waits for the device object to appear.
  bool awaitingDevice() const { return awaitingDevice_; }
  void bind(const std::string& path);
  // The device object went (removed, or BlueZ itself went).
  void unbind();
  void requestConnection();
  void cancelConnection();
  // The device cannot be looked for (discovery refused): a waiting connection fails.
  void connectionImpossible(const BluetoothError& error);
  void deviceChanged(const PropertyMap& changed);
  void characteristicChanged(const std::string& path, const PropertyMap& changed);
  void valuesLost(const std::string& path, std::size_t count);

 private:
  template <typename Call>
  void deliver(Call call);
  template <typename Call>
  void deliverLater(Call call);
  void issueConnect();
  void connectAnswered(const std::optional<BusError>& error);
  void becomeConnected();
  void becomeDisconnected();
  void releaseLink();
  void finishServiceDiscovery();
  bool deviceConnected() const;
  BluezCharacteristic* find(const Characteristic& characteristic) const;
  void sendWriteRequest(const std::string& path, std::vector<std::uint8_t> bytes, int attempt);
  void writeTaken();
  std::optional<std::int64_t> attributeMtu() const;

  std::weak_ptr<BluezCentralManager> manager_;
  BluetoothUuid identifier_;
  std::string path_;
  bool bound_ = false;
  PeripheralState state_ = PeripheralState::disconnected;
  PeripheralDelegate* delegate_ = nullptr;
  // Counts delegate changes: an answer reaches only the delegate it was asked for.
  std::uint64_t delegateGeneration_ = 0;
  // Counts links and attempts: a late reply of an earlier one changes nothing of this one.
  std::uint64_t linkGeneration_ = 0;
  // The attempt whose Connect awaits its reply, if any.
  std::optional<std::uint64_t> connectInFlight_;
  std::optional<TimerHandle> connectRetry_;
  bool awaitingDevice_ = false;
  // Our Disconnect is not answered yet: bluetoothd may still hold the link.
  bool dropping_ = false;
  bool servicesWanted_ = false;
  std::vector<BluetoothUuid> serviceFilter_;
  std::vector<std::shared_ptr<Service>> services_;
  std::map<std::string, std::shared_ptr<BluezCharacteristic>> characteristics_;
  std::size_t outstandingWithoutResponse_ = 0;
  std::optional<std::uint16_t> acquiredMtu_;  // this link's MTU, where BlueZ has no "MTU"
};

}  // namespace orvix::platform::linux_bluetooth
