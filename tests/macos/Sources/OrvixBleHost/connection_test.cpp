// Connections: setup of the recorder's GATT service and every way a link ends, with exactly one
// "disconnected" each and the reason the desktop application needs to decide on reconnecting.
#include "connected_host_fixture.h"

namespace orvix::ble_host::testing {
namespace {

using Connection = ConnectedHostTest;

TEST_F(Connection, SubscribesCommandThenStreamAndAnnouncesTheLink) {
  auto scenario = connectableRecorder();
  recorderOf(scenario).maximumWriteWithResponse = 512;
  recorderOf(scenario).maximumWriteWithoutResponse = 182;
  bootAndFind(scenario);
  auto ready = connect();
  ASSERT_EQ(names(ready), (std::vector<std::string>{"scan.completed:cancelled", "gatt.ready"}));
  EXPECT_EQ(ready[1], (Json{{"schemaVersion", 1},
                            {"event", "gatt.ready"},
                            {"connectionId", "c1"},
                            {"candidateId", kRecorderId},
                            {"maximumWriteWithResponseBytes", 182},
                            {"maximumWriteWithoutResponseBytes", 182},
                            {"subscribedChannels", {"command-a3", "stream-a4"}},
                            {"nameHint", "Orvix K7"}}));
  EXPECT_EQ(recorder().subscriptionOrder(), (std::vector<Uuid>{commandUUID, streamUUID}));
  // The attempt and setup timers were cleared: nothing happens when they would have fired.
  time.advanceBy(20s);
  EXPECT_TRUE(events().empty());
}

TEST_F(Connection, EveryEndReportsItsReasonOnce) {
  bootAndFind();
  connect();
  recorder().simulateNotification(streamUUID, {1, 2});
  bluetooth->simulateLinkLoss(uuidOf(kRecorderId));
  time.runUntilIdle();
  // Buffered stream data first, then the one "disconnected".
  EXPECT_EQ(names(events()), (std::vector<std::string>{"notification", "disconnected:link-loss"}));

  connect("c2");
  EXPECT_EQ(send(command("disconnect", {{"connectionId", "c2"}})),
            std::vector<Json>{disconnected("manual", false, "c2")});
  EXPECT_FALSE(host->hasPeripheral());

  connect("c3");
  EXPECT_EQ(names(connect("c4")),
            (std::vector<std::string>{"host.error:CONNECTION_BUSY", "disconnected:unknown"}));
  EXPECT_EQ(names(connect("c5")), std::vector<std::string>{"gatt.ready"});  // succeeds now
  // Off and on again before the host hears of either still ends the link.
  bluetooth->simulateAdapterState(CentralState::poweredOff);
  bluetooth->simulateAdapterState(CentralState::poweredOn);
  time.runUntilIdle();
  EXPECT_EQ(names(events()),
            (std::vector<std::string>{"adapter.state", "disconnected:adapter-unavailable",
                                      "adapter.state"}));
  time.advanceBy(10s);
  EXPECT_TRUE(events().empty());  // no second "disconnected" from any timer
}

TEST_F(Connection, ALinkTheDeviceDropsByItselfIsALostLink) {
  auto scenario = connectableRecorder();
  recorderOf(scenario).dropAfter = 2s;
  bootAndFind(scenario);
  connect();
  time.advanceBy(2s);
  EXPECT_EQ(events(), std::vector<Json>{disconnected("link-loss", true)});
}

TEST_F(Connection, ADeviceThatNeverAnswersFailsAfterTheAttemptTimeout) {
  auto scenario = connectableRecorder();
  recorderOf(scenario).connection = platform::simulated::ConnectionAnswer::hangs;
  bootAndFind(scenario);
  connect();
  time.advanceBy(7999ms);
  EXPECT_TRUE(events().empty());
  time.advanceBy(1ms);  // cancelling a pending attempt is not confirmed: the fallback ends it
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(host->disconnectionInProgress());
  time.advanceBy(1s);
  EXPECT_EQ(events(), std::vector<Json>{disconnected("connect-failed", true)});

  // Waiting for availability has no time limit.
  connect("c2", true);
  time.advanceBy(60s);
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(host->hasPeripheral());
}

TEST_F(Connection, AnAttemptConnectedButNeverSetUpIsIncompleteAfterEightSeconds) {
  auto scenario = connectableRecorder();
  recorderOf(scenario).connection = platform::simulated::ConnectionAnswer::hangs;
  bootAndFind(scenario);
  connect();
  // The link comes up but the platform never says so.
  recorder().setState(platform::PeripheralState::connected);
  time.advanceBy(8s);
  EXPECT_EQ(events(), std::vector<Json>{disconnected("gatt-incomplete", true)});
}

TEST_F(Connection, APlatformFailureToConnectIsConnectFailed) {
  auto scenario = connectableRecorder();
  recorderOf(scenario).connection = platform::simulated::ConnectionAnswer::fails;
  bootAndFind(scenario);
  EXPECT_EQ(names(connect()),
            (std::vector<std::string>{"scan.completed:cancelled", "disconnected:connect-failed"}));
  time.advanceBy(10s);
  EXPECT_TRUE(events().empty());  // the attempt timer died with the connection
}

// Each setup fault of the device, with the code it must give; all end the link as incomplete.
TEST_F(Connection, GattFailuresBeforeReadyEndTheLinkAsIncomplete) {
  const std::pair<std::function<void(SimulatedDevice&)>, std::string> faults[] = {
      {[](SimulatedDevice& d) { d.gattServices.clear(); }, "PRIMARY_SERVICE_MISSING"},
      {[](SimulatedDevice& d) { d.serviceDiscoveryFails = true; }, "PRIMARY_SERVICE_MISSING"},
      {[](SimulatedDevice& d) { d.characteristicDiscoveryFails = true; },
       "CHARACTERISTIC_DISCOVERY_FAILED"},
      {[](SimulatedDevice& d) { d.characteristics[1].properties = 0x02; },  // read only
       "REQUIRED_CHARACTERISTIC_MISSING"},
      {[](SimulatedDevice& d) { d.characteristics[0].properties = 0x04; },  // no response
       "REQUIRED_CHARACTERISTIC_MISSING"},
      {[](SimulatedDevice& d) { d.characteristics.pop_back(); }, "REQUIRED_CHARACTERISTIC_MISSING"},
      {[](SimulatedDevice& d) { d.characteristics[2].subscription = SubscriptionAnswer::fail; },
       "SUBSCRIPTION_FAILED"},
  };
  for (const auto& [fault, code] : faults) {
    SCOPED_TRACE(code);
    auto scenario = connectableRecorder();
    fault(recorderOf(scenario));
    bootAndFind(scenario);
    auto failed = connect();
    ASSERT_EQ(names(failed),
              (std::vector<std::string>{"scan.completed:cancelled", "host.error:" + code,
                                        "disconnected:gatt-incomplete"}));
    EXPECT_EQ(failed[1]["scope"], "connection");
    EXPECT_FALSE(failed[1].contains("requestId"));
    EXPECT_EQ(failed[2]["reconnectable"], true);
  }
}

TEST_F(Connection, ASetupThatStallsTimesOutEightSecondsAfterConnecting) {
  auto scenario = connectableRecorder();
  recorderOf(scenario).characteristics[2].subscription = SubscriptionAnswer::hang;
  bootAndFind(scenario);
  connect();
  EXPECT_EQ(recorder().subscriptionOrder(), (std::vector<Uuid>{commandUUID, streamUUID}));
  time.advanceBy(7999ms);
  EXPECT_TRUE(events().empty());
  time.advanceBy(1ms);
  EXPECT_EQ(names(events()), (std::vector<std::string>{"host.error:GATT_SETUP_TIMEOUT",
                                                       "disconnected:gatt-incomplete"}));
}

TEST_F(Connection, DisconnectDuringSetupIsManualAndNotReconnectable) {
  auto scenario = connectableRecorder();
  recorderOf(scenario).characteristics[1].subscription = SubscriptionAnswer::hang;
  bootAndFind(scenario);
  connect();
  EXPECT_EQ(send(command("disconnect", {{"connectionId", "other"}})),
            std::vector<Json>{hostError("CONNECTION_MISMATCH")});
  EXPECT_EQ(send(command("disconnect", {{"connectionId", "c1"}})),
            std::vector<Json>{disconnected("manual", false)});
  time.advanceBy(10s);
  EXPECT_TRUE(events().empty());
}

TEST_F(Connection, SetupAnswersArrivingWhileTheLinkIsLetGoChangeNothing) {
  auto scenario = connectableRecorder();
  recorderOf(scenario).characteristics[2].subscription = SubscriptionAnswer::hang;
  recorderOf(scenario).disconnectionHangs = true;
  bootAndFind(scenario);
  connect();
  EXPECT_TRUE(send(command("disconnect", {{"connectionId", "c1"}})).empty());
  // A failed discovery and the last subscription's confirmation were still on their way.
  host->didDiscoverServices(recorder(), platform::BluetoothError{1, "late"});
  auto& stream = static_cast<platform::simulated::SimulatedCharacteristic&>(
      *recorder().services().front()->characteristics()[2]);
  stream.setNotifying(true);
  host->didUpdateNotificationState(recorder(), stream, std::nullopt);
  EXPECT_TRUE(events().empty());
  bluetooth->simulateLinkLoss(uuidOf(kRecorderId));  // the platform lets go at last
  time.runUntilIdle();
  EXPECT_EQ(events(), std::vector<Json>{disconnected("manual", false)});
}

TEST_F(Connection, ALinkThePlatformWillNotReleaseIsReportedAndStillEndsOnce) {
  auto scenario = connectableRecorder();
  recorderOf(scenario).disconnectionHangs = true;
  bootAndFind(scenario);
  connect();
  EXPECT_TRUE(send(command("disconnect", {{"connectionId", "c1"}})).empty());
  time.advanceBy(1s);
  auto stuck = events();
  ASSERT_EQ(names(stuck), std::vector<std::string>{"host.error:FAILED"});
  EXPECT_EQ(stuck[0]["scope"], "connection");
  EXPECT_TRUE(host->disconnectionInProgress());
  // A "connect" now is refused as busy; the platform's late confirmation ends the link once.
  EXPECT_EQ(names(connect("c2")), std::vector<std::string>{"host.error:CONNECTION_BUSY"});
  time.advanceBy(5s);
  EXPECT_EQ(names(events()), std::vector<std::string>{"host.error:FAILED"});  // asked again
  bluetooth->simulateLinkLoss(uuidOf(kRecorderId));
  time.runUntilIdle();
  EXPECT_EQ(events(), std::vector<Json>{disconnected("unknown", true)});
  EXPECT_FALSE(host->hasPeripheral());
}

TEST_F(Connection, AScanStartedDuringALinkBeginsAfterItsEnd) {
  bootAndFind();
  connect();
  EXPECT_TRUE(send(scanStart("s2")).empty());
  EXPECT_FALSE(bluetooth->anyManagerScanning());
  send(command("disconnect", {{"connectionId", "c1"}}));
  EXPECT_TRUE(bluetooth->anyManagerScanning());
  EXPECT_EQ(host->activeScanId(), "s2");
}

TEST_F(Connection, ALateSetupCallbackAfterReadyIsReportedAndChangesNothing) {
  bootAndFind();
  connect();
  host->didDiscoverServices(recorder(), platform::BluetoothError{1, "late"});
  auto late = events();
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0], (Json{{"schemaVersion", 1},
                           {"event", "host.error"},
                           {"scope", "command"},
                           {"code", "PRIMARY_SERVICE_MISSING"}}));
  EXPECT_TRUE(host->hasPeripheral());
  time.advanceBy(10s);
  EXPECT_TRUE(events().empty());
}

TEST_F(Connection, ShutdownWritesBufferedStreamDataAndDropsTheLinkWithoutAnEvent) {
  bootAndFind();
  connect();
  recorder().simulateNotification(streamUUID, {1});
  time.runUntilIdle();
  EXPECT_EQ(names(send(command("shutdown"))), std::vector<std::string>{"notification"});
  EXPECT_EQ(exitStatus, 0);
  EXPECT_EQ(bluetooth->cancelConnectionRequests(), 1);
}

TEST_F(Connection, ASubscriptionLostAfterReadyIsReportedAndTheLinkStays) {
  bootAndFind();
  connect();
  recorder().simulateSubscriptionLost(streamUUID);
  time.runUntilIdle();
  auto lost = events();
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0], (Json{{"schemaVersion", 1},
                           {"event", "host.error"},
                           {"scope", "command"},
                           {"code", "SUBSCRIPTION_STATE_LOST"}}));
  EXPECT_TRUE(host->hasPeripheral());
}

}  // namespace
}  // namespace orvix::ble_host::testing
