#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "platform/simulated/bluetooth/bluetooth_scenario.h"

namespace orvix::platform::simulated {

// Scenario files come from outside (a developer, a demo script, a fuzzer): they are read
// strictly and bounded, and every fault gives one message naming where it is, never a crash.
inline constexpr std::size_t kMaximumBluetoothScenarioBytes = 1 << 20;
inline constexpr std::size_t kMaximumSimulatedDevices = 1000;
inline constexpr std::size_t kMaximumRssiValues = 1000;
inline constexpr std::size_t kMaximumAdapterChanges = 1000;
inline constexpr std::size_t kMaximumServiceUuids = 64;
inline constexpr std::size_t kMaximumDeviceNameBytes = 4096;
inline constexpr std::size_t kMaximumCharacteristics = 64;
inline constexpr std::int64_t kMaximumAttributeBytes = 512;

struct BluetoothScenarioError {
  std::string message;
};

std::variant<BluetoothScenario, BluetoothScenarioError> parseBluetoothScenario(
    std::string_view json);

// The text of the built-in "default" scenario: the recorder nearby, named with the product word
// and advertising its service, and two unrelated devices.
std::string_view defaultBluetoothScenarioJson();

// `nameOrPath` is "default" or the path of a scenario file.
std::variant<BluetoothScenario, BluetoothScenarioError> loadBluetoothScenario(
    std::string_view nameOrPath);

}  // namespace orvix::platform::simulated
