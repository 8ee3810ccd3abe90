#include "platform/simulated/bluetooth/bluetooth_scenario_parser.h"

#include <fstream>
#include <initializer_list>
#include <iterator>
#include <set>
#include <sstream>

#include "common/json_wire.h"
#include "platform/simulated/scenario_reading.h"

namespace orvix::platform::simulated {

namespace {

using namespace scenario_reading;

constexpr std::int64_t kMaximumMilliseconds = 86'400'000;
constexpr std::int64_t kLowestRssi = -1000;
constexpr std::int64_t kHighestRssi = 1000;

std::string nameValue(const Json& value, const std::string& where) {
  if (!value.is_string()) fail(where, "must be a string");
  auto text = value.get<std::string>();
  if (text.size() > kMaximumDeviceNameBytes) fail(where, "is too long");
  return text;
}

BluetoothUuid uuidValue(const Json& value, const std::string& where) {
  if (!value.is_string()) fail(where, "must be a UUID string");
  const auto uuid = parseUuid(value.get_ref<const std::string&>());
  if (!uuid) fail(where, "must be a UUID string");
  return *uuid;
}

std::vector<BluetoothUuid> uuidList(const Json& value, const std::string& where) {
  std::vector<BluetoothUuid> uuids;
  const Json& list = arrayValue(value, where, kMaximumServiceUuids);
  for (std::size_t i = 0; i < list.size(); ++i) uuids.push_back(uuidValue(list[i], at(where, i)));
  return uuids;
}

Duration milliseconds(const Json& value, const std::string& where) {
  return std::chrono::milliseconds(integerIn(value, where, 0, kMaximumMilliseconds));
}

BluetoothAuthorization authorizationValue(const Json& value, const std::string& where) {
  if (value == "not-determined") return BluetoothAuthorization::notDetermined;
  if (value == "restricted") return BluetoothAuthorization::restricted;
  if (value == "denied") return BluetoothAuthorization::denied;
  if (value == "allowed") return BluetoothAuthorization::allowedAlways;
  fail(where, "must be not-determined, restricted, denied or allowed");
}

CentralState adapterValue(const Json& value, const std::string& where) {
  if (value == "unknown") return CentralState::unknown;
  if (value == "resetting") return CentralState::resetting;
  if (value == "unsupported") return CentralState::unsupported;
  if (value == "powered-off") return CentralState::poweredOff;
  if (value == "powered-on") return CentralState::poweredOn;
  // "unauthorized" is not an adapter state: it comes from the authorization.
  fail(where, "must be unknown, resetting, unsupported, powered-off or powered-on");
}

SimulatedCharacteristicSpec characteristicValue(const Json& object, const std::string& where) {
  requireKeys(object, where,
              {"service", "uuid", "properties", "subscription", "notifyIntervalMs", "notifyBytes",
               "notifyLimit"});
  SimulatedCharacteristicSpec spec;
  const Json* service = member(object, "service");
  const Json* uuid = member(object, "uuid");
  if (!service || !uuid) fail(where, "needs service and uuid");
  spec.service = uuidValue(*service, at(where, "service"));
  spec.uuid = uuidValue(*uuid, at(where, "uuid"));
  if (const Json* v = member(object, "properties")) {
    spec.properties = static_cast<std::uint32_t>(integerIn(*v, at(where, "properties"), 0, 0xff));
  }
  if (const Json* v = member(object, "subscription")) {
    if (*v == "confirm") {
      spec.subscription = SubscriptionAnswer::confirm;
    } else if (*v == "fail") {
      spec.subscription = SubscriptionAnswer::fail;
    } else if (*v == "hang") {
      spec.subscription = SubscriptionAnswer::hang;
    } else {
      fail(at(where, "subscription"), "must be confirm, fail or hang");
    }
  }
  if (const Json* v = member(object, "notifyIntervalMs")) {
    spec.notifyInterval = milliseconds(*v, at(where, "notifyIntervalMs"));
  }
  if (const Json* v = member(object, "notifyBytes")) {
    spec.notifyBytes = static_cast<std::size_t>(
        integerIn(*v, at(where, "notifyBytes"), 1, kMaximumAttributeBytes));
  }
  if (const Json* v = member(object, "notifyLimit")) {
    spec.notifyLimit =
        static_cast<std::size_t>(integerIn(*v, at(where, "notifyLimit"), 0, 1'000'000'000));
  }
  return spec;
}

void linkValues(const Json& object, const std::string& where, SimulatedDevice& device) {
  if (const Json* v = member(object, "connection")) {
    if (*v == "succeeds") {
      device.connection = ConnectionAnswer::succeeds;
    } else if (*v == "fails") {
      device.connection = ConnectionAnswer::fails;
    } else if (*v == "hangs") {
      device.connection = ConnectionAnswer::hangs;
    } else {
      fail(at(where, "connection"), "must be succeeds, fails or hangs");
    }
  }
  const std::pair<const char*, bool*> flags[] = {
      {"disconnectionHangs", &device.disconnectionHangs},
      {"serviceDiscoveryFails", &device.serviceDiscoveryFails},
      {"characteristicDiscoveryFails", &device.characteristicDiscoveryFails}};
  for (auto [key, target] : flags) {
    if (const Json* v = member(object, key)) *target = boolValue(*v, at(where, key));
  }
  const std::pair<const char*, std::size_t*> lengths[] = {
      {"maximumWriteWithResponse", &device.maximumWriteWithResponse},
      {"maximumWriteWithoutResponse", &device.maximumWriteWithoutResponse},
      {"writeWithoutResponseBurst", &device.writeWithoutResponseBurst}};
  for (auto [key, target] : lengths) {
    if (const Json* v = member(object, key)) {
      *target = static_cast<std::size_t>(integerIn(*v, at(where, key), 0, kMaximumAttributeBytes));
    }
  }
  const std::pair<const char*, Duration*> delays[] = {
      {"dropAfterMs", &device.dropAfter},
      {"disconnectionDelayMs", &device.disconnectionDelay},
      {"writeWithoutResponsePauseMs", &device.writeWithoutResponsePause},
      {"confirmationDelayMs", &device.confirmationDelay}};
  for (auto [key, target] : delays) {
    if (const Json* v = member(object, key)) *target = milliseconds(*v, at(where, key));
  }
  if (const Json* v = member(object, "confirmationErrors")) {
    device.confirmationErrors =
        static_cast<int>(integerIn(*v, at(where, "confirmationErrors"), 0, 1'000'000));
  }
  if (const Json* v = member(object, "characteristics")) {
    const Json& list = arrayValue(*v, at(where, "characteristics"), kMaximumCharacteristics);
    for (std::size_t i = 0; i < list.size(); ++i) {
      device.characteristics.push_back(
          characteristicValue(list[i], at(at(where, "characteristics"), i)));
    }
  }
}

SimulatedDevice deviceValue(const Json& object, const std::string& where) {
  requireKeys(object, where,
              {"identifier",
               "name",
               "localName",
               "services",
               "overflowServices",
               "rssi",
               "intervalMs",
               "knownToSystem",
               "connectedToSystem",
               "gattServices",
               "connection",
               "dropAfterMs",
               "disconnectionHangs",
               "disconnectionDelayMs",
               "serviceDiscoveryFails",
               "characteristicDiscoveryFails",
               "maximumWriteWithResponse",
               "maximumWriteWithoutResponse",
               "writeWithoutResponseBurst",
               "writeWithoutResponsePauseMs",
               "confirmationErrors",
               "confirmationDelayMs",
               "characteristics"});
  SimulatedDevice device;
  const Json* identifier = member(object, "identifier");
  if (!identifier) fail(at(where, "identifier"), "is required");
  device.identifier = uuidValue(*identifier, at(where, "identifier"));
  if (const Json* v = member(object, "name")) device.name = nameValue(*v, at(where, "name"));
  if (const Json* v = member(object, "localName")) {
    device.advertisement.localName = nameValue(*v, at(where, "localName"));
  }
  if (const Json* v = member(object, "services")) {
    device.advertisement.serviceUuids = uuidList(*v, at(where, "services"));
  }
  if (const Json* v = member(object, "overflowServices")) {
    device.advertisement.overflowServiceUuids = uuidList(*v, at(where, "overflowServices"));
  }
  if (const Json* v = member(object, "rssi")) {
    const Json& list = arrayValue(*v, at(where, "rssi"), kMaximumRssiValues);
    if (list.empty()) fail(at(where, "rssi"), "must not be empty");
    device.rssi.clear();
    for (std::size_t i = 0; i < list.size(); ++i) {
      device.rssi.push_back(static_cast<int>(
          integerIn(list[i], at(at(where, "rssi"), i), kLowestRssi, kHighestRssi)));
    }
  }
  if (const Json* v = member(object, "intervalMs")) {
    device.advertisingInterval = milliseconds(*v, at(where, "intervalMs"));
  }
  if (const Json* v = member(object, "knownToSystem")) {
    device.knownToSystem = boolValue(*v, at(where, "knownToSystem"));
  }
  if (const Json* v = member(object, "connectedToSystem")) {
    device.connectedToSystem = boolValue(*v, at(where, "connectedToSystem"));
  }
  if (const Json* v = member(object, "gattServices")) {
    device.gattServices = uuidList(*v, at(where, "gattServices"));
  }
  linkValues(object, where, device);
  return device;
}

BluetoothScenario scenarioValue(const Json& root) {
  requireKeys(root, "", {"authorization", "prompt", "adapter", "adapterChanges", "devices"});
  BluetoothScenario scenario;
  if (const Json* v = member(root, "authorization")) {
    scenario.authorization = authorizationValue(*v, "authorization");
  }
  if (const Json* v = member(root, "prompt")) {
    requireKeys(*v, "prompt", {"answer", "afterMs"});
    PromptAnswer prompt;
    const Json* answer = member(*v, "answer");
    if (!answer) fail("prompt.answer", "is required");
    prompt.answer = authorizationValue(*answer, "prompt.answer");
    if (prompt.answer != BluetoothAuthorization::allowedAlways &&
        prompt.answer != BluetoothAuthorization::denied) {
      fail("prompt.answer", "must be allowed or denied");
    }
    if (const Json* after = member(*v, "afterMs"))
      prompt.after = milliseconds(*after, "prompt.afterMs");
    scenario.prompt = prompt;
  }
  if (const Json* v = member(root, "adapter")) scenario.adapter = adapterValue(*v, "adapter");
  if (const Json* v = member(root, "adapterChanges")) {
    const Json& list = arrayValue(*v, "adapterChanges", kMaximumAdapterChanges);
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string where = at("adapterChanges", i);
      requireKeys(list[i], where, {"atMs", "state"});
      const Json* when = member(list[i], "atMs");
      const Json* state = member(list[i], "state");
      if (!when || !state) fail(where, "needs atMs and state");
      scenario.adapterChanges.push_back(
          {milliseconds(*when, at(where, "atMs")), adapterValue(*state, at(where, "state"))});
    }
  }
  if (const Json* v = member(root, "devices")) {
    const Json& list = arrayValue(*v, "devices", kMaximumSimulatedDevices);
    std::set<BluetoothUuid> identifiers;
    for (std::size_t i = 0; i < list.size(); ++i) {
      scenario.devices.push_back(deviceValue(list[i], at("devices", i)));
      if (!identifiers.insert(scenario.devices.back().identifier).second) {
        fail(at(at("devices", i), "identifier"), "is used by another device");
      }
    }
  }
  return scenario;
}

}  // namespace

std::variant<BluetoothScenario, BluetoothScenarioError> parseBluetoothScenario(
    std::string_view json) {
  if (json.size() > kMaximumBluetoothScenarioBytes) {
    return BluetoothScenarioError{"scenario: larger than 1 MiB"};
  }
  const auto root = parseJsonObject(json);
  if (!root) return BluetoothScenarioError{"scenario: not a JSON object"};
  try {
    return scenarioValue(*root);
  } catch (const Fault& fault) {
    return BluetoothScenarioError{fault.message};
  }
}

std::variant<BluetoothScenario, BluetoothScenarioError> loadBluetoothScenario(
    std::string_view nameOrPath) {
  if (nameOrPath == "default") return parseBluetoothScenario(defaultBluetoothScenarioJson());
  std::ifstream file{std::string(nameOrPath), std::ios::binary};
  if (!file) return BluetoothScenarioError{"cannot be read"};
  std::string text;
  // Read one byte past the bound so that an over-large file is refused, not truncated.
  text.resize(kMaximumBluetoothScenarioBytes + 1);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  return parseBluetoothScenario(text);
}

}  // namespace orvix::platform::simulated
