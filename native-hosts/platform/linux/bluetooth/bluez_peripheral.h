#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bluetooth.h"
#include "platform/linux/bluetooth/acquired_sockets.h"
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
  // other clients' sessions.
  bool isNotifying() const override { return notifying_; }

  const std::string& path() const { return path_; }
  void setNotifying(bool notifying) { notifying_ = notifying; }
  void setProperties(std::uint32_t properties) { properties_ = properties; }

  // What BlueZ offers for it ("NotifyAcquired" and "WriteAcquired" are present), and which of
  // the sockets this client holds.
  bool offersAcquireNotify = false;
  bool offersAcquireWrite = false;
  bool notifySocket = false;
  bool writeSocket = false;

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

// One org.bluez.Device1 object. Its link follows the device's "Connected" property; service
// discovery waits for "ServicesResolved" and then reads the GATT objects under the device.
// - Subscriptions: AcquireNotify where the characteristic offers it (each packet read from the
//   socket is one notification; the socket's end is the subscription's), else a StartNotify
//   session whose "Value" changes are the notifications.
// - Writes with response: WriteValue with type "request". Writes without response: on the
//   socket of AcquireWrite where offered (acquired during characteristic discovery, so its MTU
//   sets the write length), else WriteValue with type "command".
// - Readiness for writes without response: they are taken while fewer than
//   kWriteWithoutResponseWindow of them are on their way (a WriteValue call awaiting BlueZ's
//   reply, or a packet the socket has not taken yet: its POLLOUT); the one that makes room
//   again is the readiness signal.
class BluezPeripheral final : public Peripheral,
                              public std::enable_shared_from_this<BluezPeripheral> {
 public:
  static constexpr std::size_t kWriteWithoutResponseWindow = 16;

  BluezPeripheral(std::weak_ptr<BluezCentralManager> manager, std::string path,
                  BluetoothUuid identifier);

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
  void requestConnection();
  void cancelConnection();
  void deviceChanged(const PropertyMap& changed);
  void deviceRemoved();
  void characteristicChanged(const std::string& path, const PropertyMap& changed);
  void socketValue(const std::string& path, std::span<const std::uint8_t> value);
  void socketClosed(const std::string& path, SocketKind kind);

 private:
  template <typename Call>
  void deliver(Call call);
  template <typename Call>
  void deliverLater(Call call);
  void becomeConnected();
  void becomeDisconnected();
  void finishServiceDiscovery();
  bool deviceConnected() const;
  BluezCharacteristic* find(const Characteristic& characteristic) const;
  void startNotifySession(BluezCharacteristic& characteristic, bool enabled);
  void writeWithoutResponse(BluezCharacteristic& characteristic,
                            std::span<const std::uint8_t> bytes);
  void writeTaken();
  void releaseSockets();

  std::weak_ptr<BluezCentralManager> manager_;
  std::string path_;
  BluetoothUuid identifier_;
  PeripheralState state_ = PeripheralState::disconnected;
  PeripheralDelegate* delegate_ = nullptr;
  // Counts delegate changes: an answer reaches only the delegate it was asked for.
  std::uint64_t delegateGeneration_ = 0;
  // Counts links: a late reply of an earlier link changes nothing of this one.
  std::uint64_t linkGeneration_ = 0;
  bool servicesWanted_ = false;
  std::vector<BluetoothUuid> serviceFilter_;
  std::vector<std::shared_ptr<Service>> services_;
  std::map<std::string, std::shared_ptr<BluezCharacteristic>> characteristics_;
  std::size_t outstandingWithoutResponse_ = 0;
  std::optional<std::uint16_t> writeSocketMtu_;  // the ATT MTU AcquireWrite answered with
};

}  // namespace orvix::platform::linux_bluetooth
