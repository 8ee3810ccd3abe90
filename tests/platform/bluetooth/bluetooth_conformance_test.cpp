// The notes for implementers of platform/bluetooth.h, held against every stack the host may run
// on: the same test bodies on the simulated stack and on the BlueZ binding (against BlueZ's API
// on a private bus). The host relies on each of these; a stack that breaks one breaks the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "bluetooth_worlds.h"
#include "platform/linux/bluetooth/bluez_bus.h"

namespace orvix::testing {
namespace {

using platform::BluetoothError;
using platform::CentralManager;
using platform::CentralState;
using platform::Characteristic;
using platform::Peripheral;
using platform::PeripheralState;
using platform::Service;

// Everything a manager's and a peripheral's delegate hear, and whether any of it came from
// inside a call the test made (which the contract forbids).
struct Listener final : platform::CentralManagerDelegate, platform::PeripheralDelegate {
  void centralManagerDidUpdateState(CentralManager& central) override {
    check();
    states.push_back(central.state());
  }
  void didDiscover(CentralManager&, const std::shared_ptr<Peripheral>& peripheral,
                   const platform::AdvertisementData& advertisement, int rssi) override {
    check();
    discoveries.push_back({peripheral, advertisement, rssi});
  }
  void didConnect(CentralManager&, const std::shared_ptr<Peripheral>&) override {
    check();
    ++connects;
  }
  void didFailToConnect(CentralManager&, const std::shared_ptr<Peripheral>&,
                        const std::optional<BluetoothError>&) override {
    check();
    ++failedConnects;
  }
  void didDisconnect(CentralManager&, const std::shared_ptr<Peripheral>&,
                     const std::optional<BluetoothError>&) override {
    check();
    ++disconnects;
  }
  void didDiscoverServices(Peripheral&, const std::optional<BluetoothError>& error) override {
    check();
    servicesFound += error ? 0 : 1;
  }
  void didDiscoverCharacteristics(Peripheral&, Service&,
                                  const std::optional<BluetoothError>& error) override {
    check();
    characteristicsFound += error ? 0 : 1;
  }
  void didUpdateNotificationState(Peripheral&, Characteristic& characteristic,
                                  const std::optional<BluetoothError>& error) override {
    check();
    if (!error && characteristic.isNotifying()) subscribed.push_back(characteristic.uuid());
    if (!error && !characteristic.isNotifying()) ++subscriptionsEnded;
  }
  void didUpdateValue(Peripheral&, Characteristic& characteristic,
                      std::span<const std::uint8_t> value,
                      const std::optional<BluetoothError>& error) override {
    check();
    if (error) {
      valueErrors.push_back(error->description);
      return;
    }
    values.push_back({characteristic.uuid(), {value.begin(), value.end()}});
  }
  void didWriteValue(Peripheral&, Characteristic&,
                     const std::optional<BluetoothError>& error) override {
    check();
    confirmations += error ? 0 : 1;
  }
  void isReadyToSendWriteWithoutResponse(Peripheral&) override { check(); }

  void check() { calledFromInsideACall = calledFromInsideACall || insideACall; }

  struct Discovery {
    std::shared_ptr<Peripheral> peripheral;
    platform::AdvertisementData advertisement;
    int rssi;
  };
  bool insideACall = false;
  bool calledFromInsideACall = false;
  std::vector<CentralState> states;
  std::vector<Discovery> discoveries;
  int connects = 0;
  int failedConnects = 0;
  int disconnects = 0;
  int servicesFound = 0;
  int characteristicsFound = 0;
  std::vector<BluetoothUuid> subscribed;
  int subscriptionsEnded = 0;
  std::vector<std::pair<BluetoothUuid, std::vector<std::uint8_t>>> values;
  std::vector<std::string> valueErrors;
  int confirmations = 0;
};

template <typename World>
class BluetoothConformance : public ::testing::Test {
 protected:
  // Runs `action` as a call the test makes: nothing may be delivered from inside it.
  template <typename Action>
  auto call(Action action) {
    listener.insideACall = true;
    struct Reset {
      Listener& l;
      ~Reset() { l.insideACall = false; }
    } reset{listener};
    return action();
  }

  void powerUp() { powerUpExpecting(CentralState::poweredOn); }
  void powerUpExpecting(CentralState state) {
    central = call([&] { return world.bluetooth().makeCentralManager(listener); });
    ASSERT_TRUE(world.eventually([&] { return !listener.states.empty(); }));
    ASSERT_EQ(central->state(), state);
  }

  // The recorder, found by the scan it answers.
  std::shared_ptr<Peripheral> findRecorder() {
    call([&] { central->scanForPeripherals(true); });
    world.advertise(-61);
    EXPECT_TRUE(world.eventually([&] { return !listener.discoveries.empty(); }));
    call([&] { central->stopScan(); });
    return listener.discoveries.empty() ? nullptr : listener.discoveries.front().peripheral;
  }

  // Connected, with the recorder's service and characteristics discovered.
  std::shared_ptr<Peripheral> linkRecorder() {
    auto recorder = findRecorder();
    if (!recorder) return nullptr;
    recorder->setDelegate(&listener);
    call([&] { central->connect(recorder); });
    EXPECT_TRUE(world.eventually([&] { return listener.connects == 1; }));
    call([&] { recorder->discoverServices({kServiceUuid}); });
    EXPECT_TRUE(world.eventually([&] { return listener.servicesFound == 1; }));
    if (recorder->services().size() != 1) return nullptr;
    call([&] {
      recorder->discoverCharacteristics({kRxUuid, kCommandUuid, kStreamUuid},
                                        *recorder->services().front());
    });
    EXPECT_TRUE(world.eventually([&] { return listener.characteristicsFound == 1; }));
    return recorder;
  }

  std::shared_ptr<Characteristic> characteristic(Peripheral& recorder, const BluetoothUuid& uuid) {
    for (const auto& c : recorder.services().front()->characteristics()) {
      if (c->uuid() == uuid) return c;
    }
    return nullptr;
  }

  void subscribe(Peripheral& recorder, const BluetoothUuid& uuid) {
    const auto before = listener.subscribed.size();
    call([&] { recorder.setNotifyValue(true, *characteristic(recorder, uuid)); });
    ASSERT_TRUE(world.eventually([&] { return listener.subscribed.size() == before + 1; }));
    EXPECT_EQ(listener.subscribed.back(), uuid);
  }

  World world;
  Listener listener;
  std::shared_ptr<CentralManager> central;
};

using Worlds = ::testing::Types<SimulatedWorld, BluezWorld>;
TYPED_TEST_SUITE(BluetoothConformance, Worlds, WorldName);

TYPED_TEST(BluetoothConformance, StateArrivesLaterAndFollowsTheAdapterAndAScanEndsWithPower) {
  this->powerUp();
  this->call([&] { this->central->scanForPeripherals(true); });
  EXPECT_TRUE(this->central->isScanning());
  this->world.setPowered(false);
  ASSERT_TRUE(this->world.eventually(
      [&] { return this->listener.states.back() == CentralState::poweredOff; }));
  EXPECT_FALSE(this->central->isScanning());
  this->call([&] { this->central->scanForPeripherals(true); });  // ignored while off
  EXPECT_FALSE(this->central->isScanning());
  this->world.setPowered(true);
  ASSERT_TRUE(this->world.eventually(
      [&] { return this->listener.states.back() == CentralState::poweredOn; }));
  EXPECT_FALSE(this->listener.calledFromInsideACall);
}

TYPED_TEST(BluetoothConformance, AdvertisementsCarryNameServiceAndSignalAndRepeatOnlyWhenAsked) {
  this->powerUp();
  auto recorder = this->findRecorder();
  ASSERT_TRUE(recorder);
  const auto& first = this->listener.discoveries.front();
  EXPECT_EQ(first.rssi, -61);
  EXPECT_EQ(first.advertisement.localName, "Orvix K7");
  ASSERT_TRUE(first.advertisement.serviceUuids);
  EXPECT_NE(std::find(first.advertisement.serviceUuids->begin(),
                      first.advertisement.serviceUuids->end(), kServiceUuid),
            first.advertisement.serviceUuids->end());
  EXPECT_EQ(recorder->name(), "Orvix K7");

  // With duplicates every advertisement is heard; without, a device once per scan.
  this->call([&] { this->central->scanForPeripherals(true); });
  this->world.advertise(-70);
  this->world.advertise(-72);
  ASSERT_TRUE(this->world.eventually([&] { return this->listener.discoveries.size() == 3; }));
  EXPECT_EQ(this->listener.discoveries.back().rssi, -72);
  this->call([&] { this->central->scanForPeripherals(false); });
  this->world.advertise(-75);
  this->world.advertise(-76);
  this->world.settle();
  EXPECT_EQ(this->listener.discoveries.size(), 4u);
  this->call([&] { this->central->stopScan(); });
  this->world.advertise(-77);
  this->world.settle();
  EXPECT_EQ(this->listener.discoveries.size(), 4u);

  // The same device keeps its identifier in the system's records.
  const auto retrieved = this->call(
      [&] { return this->central->retrievePeripherals({recorder->identifier()}); });
  ASSERT_EQ(retrieved.size(), 1u);
  EXPECT_EQ(retrieved.front()->identifier(), recorder->identifier());
  EXPECT_TRUE(this->central->retrieveConnectedPeripherals({kServiceUuid}).empty());
  EXPECT_FALSE(this->listener.calledFromInsideACall);
}

TYPED_TEST(BluetoothConformance, ALinkCarriesSubscriptionsNotificationsInOrderAndWrites) {
  this->powerUp();
  auto recorder = this->linkRecorder();
  ASSERT_TRUE(recorder);
  EXPECT_EQ(recorder->state(), PeripheralState::connected);
  auto rx = this->characteristic(*recorder, kRxUuid);
  ASSERT_TRUE(rx);
  EXPECT_TRUE(rx->properties() & platform::kPropertyWrite);
  EXPECT_TRUE(this->characteristic(*recorder, kStreamUuid)->properties() &
              platform::kPropertyNotify);

  this->subscribe(*recorder, kCommandUuid);
  this->subscribe(*recorder, kStreamUuid);
  // Each notification arrives with its own bytes, in order, even when they come back to back.
  for (std::uint8_t i = 0; i < 6; ++i) {
    this->world.notify(i == 3 ? kCommandUuid : kStreamUuid, {i, i, i});
  }
  ASSERT_TRUE(this->world.eventually([&] { return this->listener.values.size() == 6; }));
  for (std::uint8_t i = 0; i < 6; ++i) {
    EXPECT_EQ(this->listener.values[i].first, i == 3 ? kCommandUuid : kStreamUuid);
    EXPECT_EQ(this->listener.values[i].second, (std::vector<std::uint8_t>{i, i, i}));
  }

  EXPECT_EQ(recorder->maximumWriteValueLength(WriteType::withoutResponse), 244u);
  EXPECT_GE(recorder->maximumWriteValueLength(WriteType::withResponse), 244u);
  const std::vector<std::uint8_t> command = {1, 2, 3};
  this->call([&] { recorder->writeValue(command, *rx, WriteType::withResponse); });
  ASSERT_TRUE(this->world.eventually([&] { return this->listener.confirmations == 1; }));
  EXPECT_TRUE(recorder->canSendWriteWithoutResponse());
  const std::vector<std::uint8_t> frame = {4, 5};
  this->call([&] { recorder->writeValue(frame, *rx, WriteType::withoutResponse); });
  ASSERT_TRUE(this->world.eventually([&] { return this->world.writes().size() == 2; }));
  EXPECT_EQ(this->world.writes(), (std::vector<SeenWrite>{{command, WriteType::withResponse},
                                                          {frame, WriteType::withoutResponse}}));
  EXPECT_FALSE(this->listener.calledFromInsideACall);
}

TYPED_TEST(BluetoothConformance, LinksEndByLossOrCancellationAndAClearedDelegateHearsNothing) {
  this->powerUp();
  auto recorder = this->linkRecorder();
  ASSERT_TRUE(recorder);
  this->subscribe(*recorder, kStreamUuid);
  this->world.dropLink();
  ASSERT_TRUE(this->world.eventually([&] { return this->listener.disconnects == 1; }));
  EXPECT_EQ(recorder->state(), PeripheralState::disconnected);

  // The same peripheral connects again and is let go of on request.
  this->call([&] { this->central->connect(recorder); });
  ASSERT_TRUE(this->world.eventually([&] { return this->listener.connects == 2; }));
  this->call([&] { this->central->cancelPeripheralConnection(recorder); });
  ASSERT_TRUE(this->world.eventually([&] { return this->listener.disconnects == 2; }));

  // A third link: once its delegate is cleared, nothing reaches it, not even what was queued.
  this->call([&] { this->central->connect(recorder); });
  ASSERT_TRUE(this->world.eventually([&] { return this->listener.connects == 3; }));
  this->call([&] { recorder->discoverServices({kServiceUuid}); });
  ASSERT_TRUE(this->world.eventually([&] { return this->listener.servicesFound == 2; }));
  this->call([&] {
    recorder->discoverCharacteristics({kStreamUuid}, *recorder->services().front());
  });
  ASSERT_TRUE(this->world.eventually([&] { return this->listener.characteristicsFound == 2; }));
  this->subscribe(*recorder, kStreamUuid);
  const auto heard = this->listener.values.size();
  this->world.notify(kStreamUuid, {9});
  recorder->setDelegate(nullptr);
  this->world.settle();
  EXPECT_EQ(this->listener.values.size(), heard);
  EXPECT_FALSE(this->listener.calledFromInsideACall);
}

// What only a binding to a real service meets: a bus on which others speak too, and a service
// that may send what it should not.
using BluezBinding = BluetoothConformance<BluezWorld>;

TEST_F(BluezBinding, IgnoresOtherSendersAndMalformedChangesAndKeepsTheLink) {
  powerUp();
  auto recorder = linkRecorder();
  ASSERT_TRUE(recorder);
  subscribe(*recorder, kCommandUuid);
  world.mock().spoofNotification({6, 6, 6});
  world.mock().notifyMalformed("text");
  world.mock().notifyMalformed("oversized");
  world.mock().notifyMalformed("connected-text");
  world.notify(kCommandUuid, {7});
  ASSERT_TRUE(world.eventually([&] { return !listener.values.empty(); }));
  world.settle();
  EXPECT_EQ(listener.values,
            (decltype(listener.values){{kCommandUuid, std::vector<std::uint8_t>{7}}}));
  EXPECT_EQ(listener.disconnects, 0);
  EXPECT_EQ(recorder->state(), PeripheralState::connected);
}

TEST_F(BluezBinding, ValuesBeyondTheBoundAreDroppedAndReportedBeforeTheNextOne) {
  powerUp();
  auto recorder = linkRecorder();
  ASSERT_TRUE(recorder);
  subscribe(*recorder, kStreamUuid);
  // The main loop stalls while the recorder streams well past the binding's bound (twice it), and
  // a second longer, while the bus thread reads what is still on its way (on a loaded machine it
  // had not passed the bound when the sender was done, and the main loop drained it in time):
  // what is dropped is told, in numbers, and every value is either handed on or counted.
  const auto total =
      2 * static_cast<std::uint32_t>(platform::linux_bluetooth::BluezBus::kMaximumPendingValues);
  world.mock().notifyBurst("stream", total, 4);
  std::this_thread::sleep_for(1s);
  const auto accounted = [&] {
    std::size_t lost = 0;
    for (const auto& error : listener.valueErrors) lost += std::stoul(error);
    return listener.values.size() + lost;
  };
  ASSERT_TRUE(world.eventually([&] { return accounted() == total; }));
  EXPECT_FALSE(listener.valueErrors.empty());
  // Later values pass as before.
  world.notify(kStreamUuid, {0xEE});
  ASSERT_TRUE(world.eventually([&] { return accounted() == total + 1; }));
  EXPECT_EQ(listener.values.back().second, std::vector<std::uint8_t>{0xEE});
  EXPECT_EQ(recorder->state(), PeripheralState::connected);
}

TEST_F(BluezBinding, ACandidateWhoseDeviceObjectWentIsLookedForAndConnectedWhenHeardAgain) {
  powerUp();
  auto recorder = findRecorder();
  ASSERT_TRUE(recorder);
  recorder->setDelegate(&listener);
  world.mock().restartBluez();  // every device object goes with bluetoothd
  ASSERT_TRUE(world.eventually([&] {
    return std::find(listener.states.begin(), listener.states.end(), CentralState::resetting) !=
               listener.states.end() &&
           listener.states.back() == CentralState::poweredOn;
  }));
  world.mock().advertiseEvery(100ms, -60);
  call([&] { central->connect(recorder); });
  ASSERT_TRUE(world.eventually([&] { return listener.connects == 1; }));
  EXPECT_FALSE(central->isScanning());  // the discovery was the connection's, not a scan
  // Still the one object for that device.
  const auto retrieved = central->retrievePeripherals({recorder->identifier()});
  ASSERT_EQ(retrieved.size(), 1u);
  EXPECT_EQ(retrieved.front(), recorder);
  world.mock().advertiseEvery(0ms, -60);
}

TEST_F(BluezBinding, TheSystemBusGoingAwayIsUnsupportedUntilItIsBack) {
  powerUp();
  world.mock().restartBus();
  ASSERT_TRUE(world.eventually([&] {
    return std::find(listener.states.begin(), listener.states.end(), CentralState::unsupported) !=
               listener.states.end() &&
           listener.states.back() == CentralState::poweredOn;
  }));
  ASSERT_TRUE(findRecorder());
}

using OlderBluezBinding = BluetoothConformance<OlderBluezWorld>;

TEST_F(OlderBluezBinding, TheWriteLengthComesFromAWriteSocketThatIsLetGoAtOnce) {
  powerUp();
  auto recorder = linkRecorder();
  ASSERT_TRUE(recorder);
  EXPECT_EQ(recorder->maximumWriteValueLength(WriteType::withoutResponse), 244u);
  // The socket is closed again, so bluetoothd takes WriteValue ("Write acquired" otherwise).
  const std::vector<std::uint8_t> command = {1, 2, 3};
  call([&] {
    recorder->writeValue(command, *characteristic(*recorder, kRxUuid), WriteType::withResponse);
  });
  ASSERT_TRUE(world.eventually([&] { return listener.confirmations == 1; }));
}

TEST_F(BluezBinding, PowerStateOutranksPoweredForRfkillAndTransitions) {
  powerUp();
  world.mock().setPowerState("off-blocked");  // rfkill: "Powered" still says true
  ASSERT_TRUE(world.eventually([&] { return listener.states.back() == CentralState::poweredOff; }));
  world.mock().setPowerState("off-enabling");
  ASSERT_TRUE(world.eventually([&] { return listener.states.back() == CentralState::resetting; }));
  world.mock().setPowerState("on");
  ASSERT_TRUE(world.eventually([&] { return listener.states.back() == CentralState::poweredOn; }));
}

TEST_F(BluezBinding, AMachineWithoutABusReportsUnsupported) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvix-no-bus", 1);
  powerUpExpecting(CentralState::unsupported);
  EXPECT_EQ(world.bluetooth().authorization(), platform::BluetoothAuthorization::allowedAlways);
}

}  // namespace
}  // namespace orvix::testing
