// The permission and the adapter: the host never prompts on its own, creates one central
// manager once allowed, replaces a manager that still reports an old refusal, and reports every
// adapter change.
#include "ble_host_fixture.h"
#include "common/platform_name.h"

namespace orvix::ble_host::testing {
namespace {

using namespace std::chrono_literals;

BluetoothScenario withAuthorization(BluetoothAuthorization authorization) {
  auto scenario = recorderScenario();
  scenario.authorization = authorization;
  return scenario;
}

TEST_F(BleHostTest, StartUpWithoutAPermissionNeverPrompts) {
  boot(withAuthorization(BluetoothAuthorization::notDetermined));
  const auto ready = lines();
  ASSERT_EQ(ready.size(), 2u);
  EXPECT_EQ(ready[0], R"({"event":"host.ready","hostBuild":"DT-PERF-BATCH.3","platform":")" +
                          std::string(platformName()) + R"(","schemaVersion":1})");
  EXPECT_EQ(
      ready[1],
      R"({"authorization":"not-determined","event":"adapter.state","schemaVersion":1,"state":"unauthorized"})");
  EXPECT_EQ(bluetooth->centralManagersCreated(), 0);
  EXPECT_EQ(bluetooth->promptsShown(), 0);
  // A refresh that does not ask for the prompt changes nothing.
  EXPECT_EQ(send(command("permission.refresh", {{"requestAuthorization", false}})),
            std::vector<Json>{adapterState("unauthorized", "not-determined")});
  EXPECT_EQ(bluetooth->centralManagersCreated(), 0);
}

TEST_F(BleHostTest, DeniedAndRestrictedAreNeverPrompted) {
  for (auto [authorization, name] : {std::pair{BluetoothAuthorization::denied, "denied"},
                                     std::pair{BluetoothAuthorization::restricted, "restricted"}}) {
    boot(withAuthorization(authorization));
    discardEvents();
    EXPECT_EQ(send(command("permission.refresh", {{"requestAuthorization", true}})),
              std::vector<Json>{adapterState("unauthorized", name)});
    EXPECT_EQ(bluetooth->centralManagersCreated(), 0);
  }
}

TEST_F(BleHostTest, AskingForThePromptCreatesTheManagerAndFollowsTheAnswer) {
  auto scenario = withAuthorization(BluetoothAuthorization::notDetermined);
  scenario.prompt = platform::simulated::PromptAnswer{BluetoothAuthorization::allowedAlways, 2s};
  boot(scenario);
  discardEvents();
  EXPECT_EQ(send(command("permission.refresh", {{"requestAuthorization", true}})),
            std::vector<Json>{adapterState("unauthorized", "not-determined")});
  EXPECT_EQ(bluetooth->promptsShown(), 1);
  // Asking again while the prompt is open re-reports without a second manager or prompt.
  EXPECT_EQ(send(command("permission.refresh", {{"requestAuthorization", true}})),
            std::vector<Json>{adapterState("unauthorized", "not-determined")});
  time.advanceBy(2s);
  EXPECT_EQ(events(), std::vector<Json>{adapterState("powered-on", "allowed")});
  EXPECT_EQ(bluetooth->centralManagersCreated(), 1);
  EXPECT_EQ(bluetooth->promptsShown(), 1);
}

TEST_F(BleHostTest, AScanAskedForWhileThePromptIsOpenStartsWhenTheUserAllows) {
  auto scenario = withAuthorization(BluetoothAuthorization::notDetermined);
  scenario.prompt = platform::simulated::PromptAnswer{BluetoothAuthorization::allowedAlways, 2s};
  boot(scenario);
  send(command("permission.refresh", {{"requestAuthorization", true}}));
  EXPECT_EQ(send(scanStart("s1")), (std::vector<Json>{{{"schemaVersion", 1},
                                                       {"event", "host.error"},
                                                       {"scope", "adapter"},
                                                       {"code", "ADAPTER_NOT_POWERED_ON"}}}));
  EXPECT_EQ(host->pendingScan()->scanId, "s1");
  EXPECT_EQ(bluetooth->scanRequests(), 0);
  time.advanceBy(2s);
  EXPECT_EQ(events().front(), adapterState("powered-on", "allowed"));
  EXPECT_EQ(bluetooth->scanRequests(), 1);
  EXPECT_EQ(host->activeScanId(), "s1");
  EXPECT_FALSE(host->pendingScan().has_value());
}

TEST_F(BleHostTest, AllowedAtStartUpCreatesTheManagerAtOnce) {
  boot();
  EXPECT_EQ(events().back(), adapterState("powered-on", "allowed"));
  EXPECT_EQ(bluetooth->centralManagersCreated(), 1);
  // A refresh re-reports the current state once, through the same manager.
  EXPECT_EQ(send(command("permission.refresh", {{"requestAuthorization", false}})),
            std::vector<Json>{adapterState("powered-on", "allowed")});
  EXPECT_EQ(bluetooth->centralManagersCreated(), 1);
}

TEST_F(BleHostTest, AManagerStuckOnAnOldRefusalIsReplaced) {
  boot(withAuthorization(BluetoothAuthorization::notDetermined));
  send(command("permission.refresh", {{"requestAuthorization", true}}));
  // The user grants Bluetooth in the system settings instead of the prompt: the first manager
  // keeps reporting "unauthorized".
  bluetooth->simulateAuthorizationChange(BluetoothAuthorization::allowedAlways);
  EXPECT_EQ(send(command("permission.refresh", {{"requestAuthorization", false}})),
            std::vector<Json>{adapterState("powered-on", "allowed")});
  EXPECT_EQ(bluetooth->centralManagersCreated(), 2);
  // The released manager is deaf: its late callbacks reach nobody.
  bluetooth->simulateDuplicateStateUpdate();
  time.runUntilIdle();
  EXPECT_EQ(events(), std::vector<Json>{adapterState("powered-on", "allowed")});
}

TEST_F(BleHostTest, EveryAdapterChangeIsReportedWithItsName) {
  boot();
  discardEvents();
  const std::pair<CentralState, const char*> states[] = {{CentralState::poweredOff, "powered-off"},
                                                         {CentralState::resetting, "resetting"},
                                                         {CentralState::unsupported, "unsupported"},
                                                         {CentralState::unknown, "unknown"},
                                                         {CentralState::poweredOn, "powered-on"}};
  for (auto [state, name] : states) {
    bluetooth->simulateAdapterState(state);
    time.runUntilIdle();
    EXPECT_EQ(events(), std::vector<Json>{adapterState(name, "allowed")});
  }
  // Off and on again before the host hears of either: both changes are reported, in order.
  bluetooth->simulateAdapterState(CentralState::poweredOff);
  bluetooth->simulateAdapterState(CentralState::poweredOn);
  time.runUntilIdle();
  EXPECT_EQ(events(), (std::vector<Json>{adapterState("powered-off", "allowed"),
                                         adapterState("powered-on", "allowed")}));
  // A duplicate platform callback is reported again, as the platform delivered it.
  bluetooth->simulateDuplicateStateUpdate();
  time.runUntilIdle();
  EXPECT_EQ(events().size(), 1u);
}

TEST_F(BleHostTest, ScanningWithoutAManagerReportsUnauthorizedAndEndsTheScan) {
  boot(withAuthorization(BluetoothAuthorization::denied));
  discardEvents();
  EXPECT_EQ(send(scanStart("s1")), (std::vector<Json>{adapterState("unauthorized", "denied"),
                                                      scanCompleted("s1", "cancelled")}));
  EXPECT_FALSE(host->activeScanId());
  EXPECT_EQ(send(command("connect", {{"candidateId", kRecorderId}, {"connectionId", "c"}})),
            (std::vector<Json>{adapterState("unauthorized", "denied"),
                               hostError("ADAPTER_NOT_AUTHORIZED")}));
}

}  // namespace
}  // namespace orvix::ble_host::testing
