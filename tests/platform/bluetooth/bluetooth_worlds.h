#pragma once

// The two stacks the Bluetooth conformance suite runs its test bodies on, each with the
// recorder in range: the simulated stack on virtual time, and the BlueZ binding on real time
// against BlueZ's API on a private bus. A world lets time pass its own way and plays the
// recorder's part (advertise, notify, lose the link) through its own hooks.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/time/real_time_source.h"
#include "common/time/virtual_time_source.h"
#include "platform/linux/bluetooth/bluez_bluetooth.h"
#include "platform/simulated/bluetooth/simulated_bluetooth.h"
#include "support/bluez/mock_bluez.h"

namespace orvix::testing {

using namespace std::chrono_literals;
using platform::BluetoothUuid;
using platform::WriteType;

inline const BluetoothUuid kServiceUuid = *parseUuid("001120a0-2233-4455-6677-889912345678");
inline const BluetoothUuid kRxUuid = *parseUuid("001120a2-2233-4455-6677-889912345678");
inline const BluetoothUuid kCommandUuid = *parseUuid("001120a3-2233-4455-6677-889912345678");
inline const BluetoothUuid kStreamUuid = *parseUuid("001120a4-2233-4455-6677-889912345678");

struct SeenWrite {
  std::vector<std::uint8_t> bytes;
  WriteType type;
  bool operator==(const SeenWrite&) const = default;
};

class SimulatedWorld {
 public:
  static constexpr const char* kName = "Simulated";

  SimulatedWorld() : bluetooth_(time_, scenario()) {}

  platform::Bluetooth& bluetooth() { return bluetooth_; }
  bool eventually(const std::function<bool()>& condition) {
    for (int step = 0; step < 10000; ++step) {
      time_.runUntilIdle();
      if (condition()) return true;
      time_.advanceBy(1ms);
    }
    return false;
  }
  // Lets everything already on its way arrive.
  void settle() { time_.advanceBy(100ms); }

  void advertise(int rssi) { bluetooth_.simulateAdvertisement(kRecorder, rssi); }
  void notify(const BluetoothUuid& characteristic, std::vector<std::uint8_t> value) {
    bluetooth_.peripheral(kRecorder)->simulateNotification(characteristic, std::move(value));
  }
  void dropLink() { bluetooth_.simulateLinkLoss(kRecorder); }
  void setPowered(bool on) {
    bluetooth_.simulateAdapterState(on ? platform::CentralState::poweredOn
                                       : platform::CentralState::poweredOff);
  }
  std::vector<SeenWrite> writes() {
    std::vector<SeenWrite> seen;
    for (const auto& write : bluetooth_.peripheral(kRecorder)->writes()) {
      seen.push_back({write.bytes, write.type});
    }
    return seen;
  }

 private:
  static inline const BluetoothUuid kRecorder =
      *parseUuid("5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D");

  static platform::simulated::BluetoothScenario scenario() {
    using namespace platform::simulated;
    SimulatedDevice recorder;
    recorder.identifier = kRecorder;
    recorder.name = "Orvix K7";
    recorder.advertisement.localName = "Orvix K7";
    recorder.advertisement.serviceUuids = std::vector<BluetoothUuid>{kServiceUuid};
    recorder.advertisingInterval = 24h;  // in range, but advertises only when the test says so
    recorder.knownToSystem = true;
    recorder.gattServices = {kServiceUuid};
    recorder.maximumWriteWithoutResponse = 244;
    auto characteristic = [](const BluetoothUuid& uuid, std::uint32_t properties) {
      SimulatedCharacteristicSpec offered;
      offered.service = kServiceUuid;
      offered.uuid = uuid;
      offered.properties = properties;
      return offered;
    };
    recorder.characteristics = {
        characteristic(kRxUuid, platform::kPropertyWrite | 0x04),
        characteristic(kCommandUuid, platform::kPropertyNotify),
        characteristic(kStreamUuid, platform::kPropertyNotify)};
    BluetoothScenario world;
    world.devices = {recorder};
    return world;
  }

  VirtualTimeSource time_;
  platform::simulated::SimulatedBluetooth bluetooth_;
};

class BluezWorld {
 public:
  static constexpr const char* kName = "BlueZ";

  explicit BluezWorld(MockBluez::Options options = {})
      : mock_(options), bluetooth_(time_.mainLoop()) {}

  platform::Bluetooth& bluetooth() { return bluetooth_; }
  // Real time with generous limits: a loaded machine slows the suite down but never fails it.
  bool eventually(const std::function<bool()>& condition, Duration patience = 20s) {
    const Duration giveUpAt = time_.clock().uptime() + patience;
    while (!condition()) {
      if (time_.clock().uptime() > giveUpAt) return false;
      time_.mainLoop().runFor(2ms);
    }
    return true;
  }
  // A round trip to the mock orders it after everything it already sent; then the binding has
  // a moment to hand it on.
  void settle() {
    mock_.writes();
    time_.mainLoop().runFor(200ms);
  }

  // bluetoothd hears advertisements only while it discovers, which it starts a few replies after
  // the scan was asked for; a device that advertises keeps doing so until then.
  void advertise(int rssi) {
    // A scan that was stopped is not waited for long: then nobody hears it, as intended.
    eventually([&] { return mock_.discovering(); }, 3s);
    mock_.advertise(rssi);
  }
  void notify(const BluetoothUuid& characteristic, const std::vector<std::uint8_t>& value) {
    mock_.notify(characteristic == kCommandUuid ? "command" : "stream", value);
  }
  void dropLink() { mock_.dropLink(); }
  MockBluez& mock() { return mock_; }
  void setPowered(bool on) { mock_.setPowered(on); }
  std::vector<SeenWrite> writes() {
    std::vector<SeenWrite> seen;
    for (const auto& write : mock_.writes()) {
      seen.push_back({write.bytes, write.type == "command" ? WriteType::withoutResponse
                                                           : WriteType::withResponse});
    }
    return seen;
  }

 private:
  MockBluez mock_;  // first: the binding must find the private bus when it connects
  RealTimeSource time_;
  platform::linux_bluetooth::BluezBluetooth bluetooth_;
};

// A BlueZ before 5.62: its characteristics say nothing of the ATT MTU.
class OlderBluezWorld : public BluezWorld {
 public:
  OlderBluezWorld() : BluezWorld(MockBluez::Options{.mtuProperty = false}) {}
};

struct WorldName {
  template <typename World>
  static std::string GetName(int) {
    return World::kName;
  }
};

}  // namespace orvix::testing
