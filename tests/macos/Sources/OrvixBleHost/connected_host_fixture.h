#pragma once

// A host with the recorder in range and a link on it, for the tests of connections, writes and
// notifications.
#include <string>
#include <vector>

#include "OrvixBleHost/ble_host_constants.h"
#include "ble_host_fixture.h"
#include "common/base64.h"

namespace orvix::ble_host::testing {

using namespace std::chrono_literals;
using platform::simulated::SimulatedCharacteristicSpec;
using platform::simulated::SimulatedPeripheral;
using platform::simulated::SubscriptionAnswer;

// The recorder with its service and three characteristics, as the host expects them.
// Characteristics 0, 1 and 2 of the device are rx, command and stream.
inline BluetoothScenario connectableRecorder() {
  auto scenario = recorderScenario();
  auto characteristic = [](Uuid uuid, std::uint32_t properties) {
    SimulatedCharacteristicSpec spec;
    spec.service = serviceUUID;
    spec.uuid = uuid;
    spec.properties = properties;
    return spec;
  };
  scenario.devices.front().characteristics = {
      characteristic(rxUUID, platform::kPropertyWrite),
      characteristic(commandUUID, platform::kPropertyNotify),
      characteristic(streamUUID, platform::kPropertyIndicate)};
  return scenario;
}

inline SimulatedDevice& recorderOf(BluetoothScenario& scenario) { return scenario.devices.front(); }

class ConnectedHostTest : public BleHostTest {
 protected:
  void bootAndFind(BluetoothScenario scenario = connectableRecorder()) {
    boot(std::move(scenario));
    send(scanStart("s1"));
    time.advanceBy(150ms);
    discardEvents();
  }
  std::vector<Json> connect(const std::string& connectionId = "c1", bool wait = false) {
    return send(command("connect", {{"candidateId", kRecorderId},
                                    {"connectionId", connectionId},
                                    {"waitForAvailability", wait}}));
  }
  SimulatedPeripheral& recorder() { return *bluetooth->peripheral(uuidOf(kRecorderId)); }
  static std::vector<std::string> names(const std::vector<Json>& events) {
    std::vector<std::string> found;
    for (const auto& event : events) {
      std::string name = event["event"];
      if (event.contains("code")) name += ":" + event["code"].get<std::string>();
      if (event.contains("reason")) name += ":" + event["reason"].get<std::string>();
      found.push_back(name);
    }
    return found;
  }
  static Json disconnected(const std::string& reason, bool reconnectable,
                           const std::string& connectionId = "c1") {
    return {{"schemaVersion", 1},
            {"event", "disconnected"},
            {"connectionId", connectionId},
            {"reason", reason},
            {"reconnectable", reconnectable}};
  }
  std::vector<std::uint8_t> bytes(std::size_t count, std::uint8_t value) {
    return std::vector<std::uint8_t>(count, value);
  }
  Json write(const std::string& requestId, std::size_t bytes, const std::string& type) {
    return command("write", {{"requestId", requestId},
                             {"connectionId", "c1"},
                             {"dataBase64", base64Encode(std::vector<std::uint8_t>(bytes, 7))},
                             {"writeType", type}});
  }
};

}  // namespace orvix::ble_host::testing
