// The simulated Bluetooth stack the host's tests and demos stand on: scenario files are read
// strictly, and the radio behaves as the host relies on (callbacks later on the main loop,
// duplicates only when asked for, retrieval of known and connected devices).
#include <gtest/gtest.h>

#include <variant>

#include "common/time/virtual_time_source.h"
#include "platform/simulated/bluetooth/bluetooth_scenario_parser.h"
#include "platform/simulated/bluetooth/simulated_bluetooth.h"

namespace orvix::platform::simulated {
namespace {

using namespace std::chrono_literals;

std::string errorOf(std::string_view json) {
  auto parsed = parseBluetoothScenario(json);
  auto* error = std::get_if<BluetoothScenarioError>(&parsed);
  return error ? error->message : "";
}

TEST(BluetoothScenarioParser, TheDefaultWorldParses) {
  auto parsed = parseBluetoothScenario(defaultBluetoothScenarioJson());
  ASSERT_TRUE(std::holds_alternative<BluetoothScenario>(parsed))
      << errorOf(defaultBluetoothScenarioJson());
  const auto& scenario = std::get<BluetoothScenario>(parsed);
  EXPECT_EQ(scenario.authorization, BluetoothAuthorization::notDetermined);
  EXPECT_EQ(scenario.devices.size(), 3u);
  const auto& recorder = scenario.devices.front();
  ASSERT_EQ(recorder.characteristics.size(), 3u);  // rx, command, stream
  EXPECT_EQ(recorder.characteristics[2].notifyBytes, 244u);
  EXPECT_EQ(recorder.writeWithoutResponseBurst, 8u);
}

TEST(BluetoothScenarioParser, FaultsNameWhereTheyAre) {
  EXPECT_EQ(errorOf("[]"), "scenario: not a JSON object");
  EXPECT_EQ(errorOf(R"({"adapter":"unauthorized"})"),
            "adapter: must be unknown, resetting, unsupported, powered-off or powered-on");
  EXPECT_EQ(errorOf(R"({"devices":[{"name":"x"}]})"), "devices[0].identifier: is required");
  EXPECT_EQ(errorOf(R"({"devices":[{"identifier":"nope"}]})"),
            "devices[0].identifier: must be a UUID string");
  EXPECT_EQ(
      errorOf(R"({"devices":[{"identifier":"00000000-0000-4000-8000-000000000001","rssi":[]}]})"),
      "devices[0].rssi: must not be empty");
  EXPECT_EQ(
      errorOf(R"({"devices":[{"identifier":"00000000-0000-4000-8000-000000000001","colour":1}]})"),
      "devices[0].colour: unknown key");
  EXPECT_EQ(errorOf(R"({"devices":[{"identifier":"00000000-0000-4000-8000-000000000001"},
                                   {"identifier":"00000000-0000-4000-8000-000000000001"}]})"),
            "devices[1].identifier: is used by another device");
  EXPECT_EQ(errorOf(R"({"prompt":{"answer":"restricted"}})"),
            "prompt.answer: must be allowed or denied");
  EXPECT_EQ(errorOf(R"({"adapterChanges":[{"atMs":-1,"state":"powered-on"}]})"),
            "adapterChanges[0].atMs: must lie in 0..86400000");
  EXPECT_EQ(
      errorOf(
          R"({"devices":[{"identifier":"00000000-0000-4000-8000-000000000001","connection":"maybe"}]})"),
      "devices[0].connection: must be succeeds, fails or hangs");
  EXPECT_EQ(errorOf(R"({"devices":[{"identifier":"00000000-0000-4000-8000-000000000001",
                                   "characteristics":[{"uuid":"00000000-0000-4000-8000-000000000002"}]}]})"),
            "devices[0].characteristics[0]: needs service and uuid");
  EXPECT_EQ(errorOf(R"({"devices":[{"identifier":"00000000-0000-4000-8000-000000000001",
                                   "characteristics":[{"service":"00000000-0000-4000-8000-000000000002",
                                   "uuid":"00000000-0000-4000-8000-000000000003","notifyBytes":513}]}]})"),
            "devices[0].characteristics[0].notifyBytes: must lie in 1..512");
  EXPECT_EQ(errorOf(std::string(kMaximumBluetoothScenarioBytes + 1, ' ')),
            "scenario: larger than 1 MiB");
}

// Counts what a central manager's delegate hears.
struct Listener final : CentralManagerDelegate {
  void centralManagerDidUpdateState(CentralManager& central) override {
    states.push_back(central.state());
  }
  void didDiscover(CentralManager&, const std::shared_ptr<Peripheral>& peripheral,
                   const AdvertisementData&, int rssi) override {
    discoveries.emplace_back(peripheral->identifier(), rssi);
  }
  void didConnect(CentralManager&, const std::shared_ptr<Peripheral>&) override { ++connects; }
  void didFailToConnect(CentralManager&, const std::shared_ptr<Peripheral>&,
                        const std::optional<BluetoothError>&) override {}
  void didDisconnect(CentralManager&, const std::shared_ptr<Peripheral>&,
                     const std::optional<BluetoothError>&) override {
    ++disconnects;
  }
  std::vector<CentralState> states;
  std::vector<std::pair<Uuid, int>> discoveries;
  int connects = 0;
  int disconnects = 0;
};

SimulatedDevice device(const char* identifier, std::vector<int> rssi, int intervalMs) {
  SimulatedDevice d;
  d.identifier = *parseUuid(identifier);
  d.rssi = std::move(rssi);
  d.advertisingInterval = std::chrono::milliseconds(intervalMs);
  return d;
}

class SimulatedStack : public ::testing::Test {
 protected:
  VirtualTimeSource time;
  Listener listener;
};

TEST_F(SimulatedStack, StateArrivesLaterAndFollowsThePromptAndTheAdapter) {
  BluetoothScenario scenario;
  scenario.authorization = BluetoothAuthorization::notDetermined;
  scenario.prompt = PromptAnswer{BluetoothAuthorization::allowedAlways, 300ms};
  scenario.adapterChanges = {{1s, CentralState::poweredOff}};
  SimulatedBluetooth bluetooth(time, scenario);
  auto central = bluetooth.makeCentralManager(listener);
  EXPECT_TRUE(listener.states.empty());  // never from inside the call
  time.runUntilIdle();
  EXPECT_EQ(listener.states, std::vector<CentralState>{CentralState::unauthorized});
  EXPECT_EQ(bluetooth.promptsShown(), 1);
  time.advanceBy(300ms);
  EXPECT_EQ(listener.states.back(), CentralState::poweredOn);
  EXPECT_EQ(bluetooth.authorization(), BluetoothAuthorization::allowedAlways);
  time.advanceBy(700ms);
  EXPECT_EQ(listener.states.back(), CentralState::poweredOff);
  // A cleared delegate hears nothing more, even what was already on its way.
  bluetooth.simulateAdapterState(CentralState::poweredOn);
  central->setDelegate(nullptr);
  time.runUntilIdle();
  EXPECT_EQ(listener.states.size(), 3u);
}

TEST_F(SimulatedStack, EachChangeIsDeliveredWithItsOwnStateEvenAtTheSameInstant) {
  SimulatedBluetooth bluetooth(time, BluetoothScenario{});
  auto central = bluetooth.makeCentralManager(listener);
  EXPECT_EQ(central->state(), CentralState::unknown);  // until the first callback arrives
  time.runUntilIdle();
  EXPECT_EQ(central->state(), CentralState::poweredOn);
  bluetooth.simulateAdapterState(CentralState::poweredOff);
  bluetooth.simulateAdapterState(CentralState::poweredOn);
  EXPECT_EQ(central->state(), CentralState::poweredOn);  // nothing delivered yet
  time.runUntilIdle();
  EXPECT_EQ(listener.states,
            (std::vector<CentralState>{CentralState::poweredOn, CentralState::poweredOff,
                                       CentralState::poweredOn}));
}

TEST_F(SimulatedStack, AnAdvertisementOnItsWayWhenTheWorldGoesIsDropped) {
  auto bluetooth = std::make_unique<SimulatedBluetooth>(time, BluetoothScenario{});
  bluetooth->simulateAdvertisement(*parseUuid("00000000-0000-4000-8000-000000000001"), -50);
  bluetooth.reset();
  time.runUntilIdle();  // must not touch the destroyed world
  EXPECT_TRUE(listener.discoveries.empty());
}

TEST_F(SimulatedStack, AdvertisementsCycleTheirSignalAndDuplicatesAreOptional) {
  BluetoothScenario scenario;
  scenario.devices = {device("00000000-0000-4000-8000-000000000001", {-50, -70}, 100),
                      device("00000000-0000-4000-8000-000000000002", {-90}, 0)};
  SimulatedBluetooth bluetooth(time, scenario);
  auto central = bluetooth.makeCentralManager(listener);
  time.runUntilIdle();
  central->scanForPeripherals(true);
  time.advanceBy(300ms);
  ASSERT_EQ(listener.discoveries.size(), 3u);  // the silent device never shows
  EXPECT_EQ(listener.discoveries[0].second, -50);
  EXPECT_EQ(listener.discoveries[1].second, -70);
  EXPECT_EQ(listener.discoveries[2].second, -50);

  central->scanForPeripherals(false);
  time.advanceBy(1s);
  EXPECT_EQ(listener.discoveries.size(), 4u);  // once per scan without duplicates
  central->stopScan();
  EXPECT_FALSE(central->isScanning());
  bluetooth.simulateAdvertisement(*parseUuid("00000000-0000-4000-8000-000000000001"), -40);
  time.advanceBy(1s);
  EXPECT_EQ(listener.discoveries.size(), 4u);
}

TEST_F(SimulatedStack, PoweringOffEndsTheScan) {
  BluetoothScenario scenario;
  scenario.devices = {device("00000000-0000-4000-8000-000000000001", {-50}, 100)};
  SimulatedBluetooth bluetooth(time, scenario);
  auto central = bluetooth.makeCentralManager(listener);
  time.runUntilIdle();
  central->scanForPeripherals(true);
  bluetooth.simulateAdapterState(CentralState::poweredOff);
  EXPECT_FALSE(central->isScanning());
  time.advanceBy(1s);
  EXPECT_TRUE(listener.discoveries.empty());
  central->scanForPeripherals(true);  // ignored while off
  EXPECT_FALSE(central->isScanning());
}

TEST_F(SimulatedStack, RetrievalFindsKnownAndConnectedDevicesOnly) {
  BluetoothScenario scenario;
  auto known = device("00000000-0000-4000-8000-000000000001", {-50}, 0);
  known.knownToSystem = true;
  auto connected = device("00000000-0000-4000-8000-000000000002", {-50}, 0);
  connected.connectedToSystem = true;
  connected.gattServices = {*parseUuid("001120a0-2233-4455-6677-889912345678")};
  auto stranger = device("00000000-0000-4000-8000-000000000003", {-50}, 100);
  scenario.devices = {known, connected, stranger};
  SimulatedBluetooth bluetooth(time, scenario);
  auto central = bluetooth.makeCentralManager(listener);
  const auto service = *parseUuid("001120a0-2233-4455-6677-889912345678");
  EXPECT_EQ(central->retrieveConnectedPeripherals({service}).size(), 1u);
  EXPECT_EQ(central->retrieveConnectedPeripherals({known.identifier}).size(), 0u);
  EXPECT_EQ(
      central->retrievePeripherals({stranger.identifier, known.identifier, connected.identifier})
          .size(),
      2u);
  // The same device is the same object however it was found.
  EXPECT_EQ(central->retrievePeripherals({known.identifier}).front()->identifier(),
            known.identifier);

  // An advertising device connects; cancelling an established link reports the disconnection.
  auto peer = bluetooth.peripheral(stranger.identifier);
  central->connect(peer);
  time.runUntilIdle();
  EXPECT_EQ(listener.connects, 1);
  EXPECT_EQ(peer->state(), PeripheralState::connected);
  central->cancelPeripheralConnection(peer);
  time.runUntilIdle();
  EXPECT_EQ(listener.disconnects, 1);
  EXPECT_EQ(bluetooth.connectRequests(), 1);
  EXPECT_EQ(bluetooth.cancelConnectionRequests(), 1);
}

// Counts the write confirmations a peripheral's delegate hears; ignores the rest.
struct WriteListener final : PeripheralDelegate {
  void didDiscoverServices(Peripheral&, const std::optional<BluetoothError>&) override {}
  void didDiscoverCharacteristics(Peripheral&, Service&,
                                  const std::optional<BluetoothError>&) override {}
  void didUpdateNotificationState(Peripheral&, Characteristic&,
                                  const std::optional<BluetoothError>&) override {}
  void didUpdateValue(Peripheral&, Characteristic&, std::span<const std::uint8_t>,
                      const std::optional<BluetoothError>&) override {}
  void didWriteValue(Peripheral&, Characteristic&, const std::optional<BluetoothError>&) override {
    ++confirmations;
  }
  void isReadyToSendWriteWithoutResponse(Peripheral&) override {}
  int confirmations = 0;
};

// A device that advertises and offers one writable characteristic in one service.
SimulatedDevice writableDevice() {
  auto d = device("00000000-0000-4000-8000-000000000001", {-50}, 100);
  const auto service = *parseUuid("001120a0-2233-4455-6677-889912345678");
  d.gattServices = {service};
  SimulatedCharacteristicSpec rx;
  rx.service = service;
  rx.uuid = *parseUuid("001120a2-2233-4455-6677-889912345678");
  rx.properties = kPropertyWrite;
  d.characteristics = {rx};
  return d;
}

// The device's one characteristic, discovered through `listener`.
Characteristic& discoverWritable(SimulatedPeripheral& peer, PeripheralDelegate& listener,
                                 VirtualTimeSource& time) {
  peer.setDelegate(&listener);
  peer.discoverServices({});
  peer.discoverCharacteristics({}, *peer.services().front());
  time.runUntilIdle();
  return *peer.services().front()->characteristics().front();
}

TEST_F(SimulatedStack, ALinkedDeviceStopsAdvertisingAndItsOldAnswersReachNoNewListener) {
  BluetoothScenario scenario;
  scenario.devices = {writableDevice()};
  SimulatedBluetooth bluetooth(time, scenario);
  auto central = bluetooth.makeCentralManager(listener);
  time.runUntilIdle();
  central->scanForPeripherals(true);
  auto peer = bluetooth.peripheral(scenario.devices.front().identifier);
  central->connect(peer);
  time.advanceBy(1s);
  EXPECT_TRUE(listener.discoveries.empty());  // connected at once, so never heard advertising
  central->cancelPeripheralConnection(peer);
  time.advanceBy(100ms);
  EXPECT_EQ(listener.discoveries.size(), 1u);  // advertising again once let go

  WriteListener writes;
  Characteristic& rx = discoverWritable(*peer, writes, time);
  const std::uint8_t byte = 1;
  peer->writeValue({&byte, 1}, rx, WriteType::withResponse);
  time.runUntilIdle();
  EXPECT_EQ(writes.confirmations, 1);
  // The listener is cleared and set again (a new link to the same device) while a confirmation
  // is on its way: the new link never hears it.
  peer->writeValue({&byte, 1}, rx, WriteType::withResponse);
  peer->setDelegate(nullptr);
  peer->setDelegate(&writes);
  time.runUntilIdle();
  EXPECT_EQ(writes.confirmations, 1);
}

TEST_F(SimulatedStack, ConfirmationsComeAfterTheDelayAndTheRecordKeepsTheLastWritesExactly) {
  BluetoothScenario scenario;
  scenario.devices = {writableDevice()};
  scenario.devices.front().confirmationDelay = 50ms;
  SimulatedBluetooth bluetooth(time, scenario);
  auto peer = bluetooth.peripheral(scenario.devices.front().identifier);
  WriteListener writes;
  Characteristic& rx = discoverWritable(*peer, writes, time);
  const std::uint8_t first = 0;
  peer->writeValue({&first, 1}, rx, WriteType::withResponse);
  time.advanceBy(49ms);
  EXPECT_EQ(writes.confirmations, 0);
  time.advanceBy(1ms);
  EXPECT_EQ(writes.confirmations, 1);

  for (std::size_t i = 1; i <= SimulatedPeripheral::kMaximumRecordedWrites; ++i) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
    peer->writeValue(bytes, rx, WriteType::withoutResponse);
  }
  const auto& recorded = peer->writes();
  ASSERT_EQ(recorded.size(), SimulatedPeripheral::kMaximumRecordedWrites);
  EXPECT_EQ(recorded.front().bytes, (std::vector<std::uint8_t>{0, 1}));  // only the first is gone
  EXPECT_EQ(recorded.back().bytes, (std::vector<std::uint8_t>{0x10, 0x00}));
}

}  // namespace
}  // namespace orvix::platform::simulated
