// Scans: their lifecycle (exactly one "scan.completed" each), candidate reports and their
// de-duplication, preferred candidates from the system's records, and deferred scans.
#include "ble_host_fixture.h"

namespace orvix::ble_host::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kTagId = "C1D2E3F4-A5B6-4C7D-8E9F-0A1B2C3D4E5F";

// A silent device (it advertises only when a test says so).
SimulatedDevice silentDevice(const char* identifier) {
  SimulatedDevice device;
  device.identifier = uuidOf(identifier);
  device.advertisingInterval = Duration::zero();
  return device;
}

class Scanning : public BleHostTest {
 protected:
  // Only devices the test drives, with the user's permission and the adapter on.
  void SetUp() override {
    BluetoothScenario scenario;
    auto recorder = silentDevice(kRecorderId);
    recorder.name = "Orvix K7";
    recorder.knownToSystem = true;
    recorder.gattServices = {uuidOf(kRecorderService)};
    scenario.devices = {recorder, silentDevice(kSpeakerId), silentDevice(kTagId)};
    boot(scenario);
    discardEvents();
  }

  void advertise(const char* identifier, int rssi, platform::AdvertisementData data = {}) {
    bluetooth->peripheral(uuidOf(identifier))->setAdvertisement(std::move(data));
    bluetooth->simulateAdvertisement(uuidOf(identifier), rssi);
    time.runUntilIdle();
  }
  // The reports the advertisements of a step gave: (candidateId, rssi or absent).
  std::vector<Json> candidates() {
    std::vector<Json> found;
    for (auto& event : events()) {
      if (event["event"] == "candidate.discovered") found.push_back(std::move(event));
    }
    return found;
  }

  static platform::AdvertisementData named(const std::string& name, bool service = false) {
    platform::AdvertisementData data;
    data.localName = name;
    if (service) data.serviceUuids = std::vector<Uuid>{uuidOf(kRecorderService)};
    return data;
  }
};

TEST_F(Scanning, AnAdvertisementIsReportedWithAllItsHints) {
  send(scanStart("s1"));
  EXPECT_EQ(bluetooth->lastScanAllowedDuplicates(), true);
  advertise(kRecorderId, -63, named("  Orvix\tK7 \n", true));
  EXPECT_EQ(candidates(), std::vector<Json>({{{"schemaVersion", 1},
                                              {"event", "candidate.discovered"},
                                              {"scanId", "s1"},
                                              {"candidateId", kRecorderId},
                                              {"rssi", -63},
                                              {"nameHint", "Orvix K7"},
                                              {"orvixNameHint", true},
                                              {"serviceAdvertisedHint", true}}}));
}

TEST_F(Scanning, ANameWithIllFormedBytesIsReportedRepaired) {
  send(scanStart("s1"));
  advertise(kSpeakerId, -61, named("Spe\xC0ker"));
  auto reported = candidates();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0]["nameHint"], "Spe\uFFFDker");
}

TEST_F(Scanning, RepeatsAreSilentUntilNameBucketOrServiceHintChanges) {
  send(scanStart("s1"));
  advertise(kSpeakerId, -61, named("Speaker"));
  advertise(kSpeakerId, -62, named("Speaker"));
  advertise(kSpeakerId, -58, named("Speaker"));
  EXPECT_EQ(candidates().size(), 1u);  // all in bucket -60
  advertise(kSpeakerId, -63, named("Speaker"));
  auto reported = candidates();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0]["rssi"], -63);  // the value, not the bucket
  advertise(kSpeakerId, -63, named("Speaker 2"));
  EXPECT_EQ(candidates().size(), 1u);
  advertise(kSpeakerId, -63, named("Speaker 2", true));
  EXPECT_EQ(candidates().size(), 1u);
  advertise(kSpeakerId, -64, named("Speaker 2", true));
  EXPECT_EQ(candidates().size(), 0u);
}

TEST_F(Scanning, SignalIsClampedToTheWireRange) {
  send(scanStart("s1"));
  advertise(kSpeakerId, 127);
  advertise(kTagId, -130);
  auto reported = candidates();
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[0]["rssi"], 20);
  EXPECT_EQ(reported[1]["rssi"], -127);
  EXPECT_FALSE(reported[1].contains("nameHint"));
}

TEST_F(Scanning, NamesFallBackToTheCachedNameAndBlankNamesCountAsNone) {
  send(scanStart("s1"));
  advertise(kRecorderId, -50, named(" \n\t "));  // blank local name: the cached one is used
  auto reported = candidates();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0]["nameHint"], "Orvix K7");
  advertise(kSpeakerId, -50, named("\u3000\u2028"));  // only Unicode white space
  reported = candidates();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_FALSE(reported[0].contains("nameHint"));
  EXPECT_EQ(reported[0]["orvixNameHint"], false);
}

TEST_F(Scanning, AScanEndsOnceWithTimeoutAfterItsTime) {
  send(scanStart("s1", 500));
  time.advanceBy(499ms);
  EXPECT_EQ(events(), std::vector<Json>());
  time.advanceBy(1ms);
  EXPECT_EQ(events(), std::vector<Json>{scanCompleted("s1", "timeout")});
  EXPECT_FALSE(bluetooth->anyManagerScanning());
  time.advanceBy(10s);
  EXPECT_EQ(events(), std::vector<Json>());
  EXPECT_EQ(send(command("scan.stop", {{"scanId", "s1"}})),
            std::vector<Json>{hostError("SCAN_MISMATCH")});
}

TEST_F(Scanning, ANewScanCancelsTheOldOneFirstAndForgetsItsCandidates) {
  send(scanStart("s1"));
  advertise(kSpeakerId, -70);
  EXPECT_EQ(host->candidateCount(), 1u);
  const auto answer = send(scanStart("s2"));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0], scanCompleted("s1", "cancelled"));
  EXPECT_EQ(host->candidateCount(), 0u);
  // The same device is news to the new scan.
  advertise(kSpeakerId, -70);
  auto reported = candidates();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0]["scanId"], "s2");
  // The old scan's timer is gone: only the new one ends, once.
  time.advanceBy(5s);
  EXPECT_EQ(events(), std::vector<Json>{scanCompleted("s2", "timeout")});
}

TEST_F(Scanning, StoppingEndsTheRadioScanButKeepsTheCandidates) {
  send(scanStart("s1"));
  advertise(kSpeakerId, -70);
  EXPECT_EQ(send(command("scan.stop", {{"scanId", "s1"}})),
            std::vector<Json>{scanCompleted("s1", "cancelled")});
  EXPECT_FALSE(bluetooth->anyManagerScanning());
  advertise(kSpeakerId, -40);
  EXPECT_EQ(candidates().size(), 0u);  // no scan: dropped
  // Candidates survive the end of the scan; "connect" still finds them (and finds no others).
  EXPECT_EQ(host->candidateCount(), 1u);
  EXPECT_EQ(send(command("connect", {{"candidateId", kTagId}, {"connectionId", "c"}})),
            std::vector<Json>{hostError("CANDIDATE_NOT_FOUND")});
  EXPECT_EQ(send(command("connect", {{"candidateId", "not-a-uuid"}, {"connectionId", "c"}})),
            std::vector<Json>{hostError("CANDIDATE_NOT_FOUND")});
  EXPECT_EQ(send(command("connect", {{"candidateId", "0b9d2c4e-6f70-4182-93a4-b5c6d7e8f901"},
                                     {"connectionId", "c"}})),
            std::vector<Json>());
  EXPECT_TRUE(host->hasPeripheral());
}

TEST_F(Scanning, AScanTheSystemEndsByItselfEndsAsCancelledAndAWaitingOneToo) {
  send(scanStart("s1"));
  bluetooth->simulateScanEndedBySystem();
  time.runUntilIdle();
  EXPECT_EQ(events(), std::vector<Json>{scanCompleted("s1", "cancelled")});
  time.advanceBy(10s);  // its timer went with it
  EXPECT_EQ(events(), std::vector<Json>());
  // A scan that waits for one device has no timer: without this it would wait for ever.
  send(command("scan.start", {{"scanId", "s2"}, {"timeoutMs", 1000},
                              {"preferredCandidateId", kTagId}, {"waitForAvailability", true}}));
  bluetooth->simulateScanEndedBySystem();
  time.runUntilIdle();
  EXPECT_EQ(events(), std::vector<Json>{scanCompleted("s2", "cancelled")});
}

TEST_F(Scanning, ConnectingToACandidateEndsTheScan) {
  send(scanStart("s1"));
  advertise(kSpeakerId, -70);
  EXPECT_EQ(send(command("connect", {{"candidateId", kSpeakerId}, {"connectionId", "c"}})),
            std::vector<Json>{scanCompleted("s1", "cancelled")});
}

TEST_F(Scanning, APreferredCandidateTheSystemKnowsIsReportedFromItsRecords) {
  Json scan = scanStart("s1", 500);
  scan["preferredCandidateId"] = "5a3c9e7b-1d2f-4a6b-8c0d-2e4f6a8b0c1d";  // either letter case
  EXPECT_EQ(send(scan), std::vector<Json>({{{"schemaVersion", 1},
                                            {"event", "candidate.discovered"},
                                            {"scanId", "s1"},
                                            {"candidateId", kRecorderId},
                                            {"nameHint", "Orvix K7"},
                                            {"orvixNameHint", true},
                                            {"serviceAdvertisedHint", false}}}));
  // No radio scan and no timer: the scan lasts until it is stopped.
  EXPECT_EQ(bluetooth->scanRequests(), 0);
  time.advanceBy(60s);
  EXPECT_EQ(events(), std::vector<Json>());
  EXPECT_EQ(send(command("scan.stop", {{"scanId", "s1"}})),
            std::vector<Json>{scanCompleted("s1", "cancelled")});
}

TEST_F(Scanning, WaitingForAKnownPreferredCandidateReportsItAtOnceAndRunsUntilStopped) {
  Json scan = scanStart("s1", 500);
  scan["preferredCandidateId"] = kRecorderId;
  scan["waitForAvailability"] = true;
  auto found = send(scan);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]["event"], "candidate.discovered");
  EXPECT_FALSE(found[0].contains("rssi"));  // from the records, not from the air
  time.advanceBy(60s);
  EXPECT_EQ(events(), std::vector<Json>());
  EXPECT_EQ(send(command("scan.stop", {{"scanId", "s1"}})),
            std::vector<Json>{scanCompleted("s1", "cancelled")});
}

TEST_F(Scanning, ConnectAfterAScanTimedOutStillFindsItsCandidates) {
  send(scanStart("s1", 500));
  advertise(kSpeakerId, -70);
  EXPECT_EQ(candidates().size(), 1u);
  time.advanceBy(500ms);
  EXPECT_EQ(events(), std::vector<Json>{scanCompleted("s1", "timeout")});
  EXPECT_EQ(send(command("connect", {{"candidateId", kSpeakerId}, {"connectionId", "c"}})),
            std::vector<Json>());
  EXPECT_TRUE(host->hasPeripheral());
}

TEST_F(Scanning, APreferredCandidateConnectedToTheSystemCarriesTheServiceHint) {
  auto device = silentDevice("11111111-2222-4333-8444-555555555555");
  device.connectedToSystem = true;
  device.gattServices = {uuidOf(kRecorderService)};
  bluetooth->addDevice(device);
  Json scan = scanStart("s1");
  scan["preferredCandidateId"] = "11111111-2222-4333-8444-555555555555";
  const auto answer = send(scan);
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0]["serviceAdvertisedHint"], true);
  EXPECT_FALSE(answer[0].contains("nameHint"));
  EXPECT_FALSE(answer[0].contains("rssi"));
}

TEST_F(Scanning, AnUnknownOrUnparseablePreferenceSimplyScans) {
  for (const char* preferred : {"not-a-uuid", kSpeakerId}) {
    Json scan = scanStart("s1");
    scan["preferredCandidateId"] = preferred;
    for (const auto& event : send(scan)) {
      EXPECT_NE(event["event"], "candidate.discovered") << preferred;
    }
    EXPECT_TRUE(bluetooth->anyManagerScanning()) << preferred;
  }
}

TEST_F(Scanning, WaitingForOneDeviceIgnoresTheOthersAndNeverTimesOut) {
  Json scan = scanStart("s1", 500);
  scan["preferredCandidateId"] = "0b9d2c4e-6f70-4182-93a4-b5c6d7e8f901";
  scan["waitForAvailability"] = true;
  EXPECT_EQ(send(scan), std::vector<Json>());
  EXPECT_EQ(bluetooth->lastScanAllowedDuplicates(), false);
  advertise(kTagId, -40);
  EXPECT_EQ(candidates().size(), 0u);
  EXPECT_EQ(host->candidateCount(), 0u);  // not even remembered
  time.advanceBy(60s);
  advertise(kSpeakerId, -40);
  auto reported = candidates();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0]["candidateId"], kSpeakerId);
  EXPECT_EQ(host->activeScanId(), "s1");
}

TEST_F(Scanning, AScanWhileTheAdapterIsOffIsDeferredUntilItComesOn) {
  bluetooth->simulateAdapterState(CentralState::poweredOff);
  time.runUntilIdle();
  discardEvents();
  EXPECT_EQ(send(scanStart("s1", 1000)), std::vector<Json>({{{"schemaVersion", 1},
                                                             {"event", "host.error"},
                                                             {"scope", "adapter"},
                                                             {"code", "ADAPTER_NOT_POWERED_ON"}}}));
  EXPECT_EQ(host->activeScanId(), "s1");
  EXPECT_TRUE(host->pendingScan());
  EXPECT_EQ(bluetooth->scanRequests(), 0);
  // A deferred scan has no timer: it waits as long as the adapter is off.
  time.advanceBy(10s);
  EXPECT_EQ(events(), std::vector<Json>());

  bluetooth->simulateAdapterState(CentralState::poweredOn);
  time.runUntilIdle();
  EXPECT_EQ(events(), std::vector<Json>{adapterState("powered-on", "allowed")});
  EXPECT_FALSE(host->pendingScan());
  EXPECT_TRUE(bluetooth->anyManagerScanning());
  time.advanceBy(1s);
  EXPECT_EQ(events(), std::vector<Json>{scanCompleted("s1", "timeout")});
}

TEST_F(Scanning, ADeferredScanThatWasStoppedDoesNotStartLater) {
  bluetooth->simulateAdapterState(CentralState::poweredOff);
  time.runUntilIdle();
  send(scanStart("s1"));
  EXPECT_EQ(send(command("scan.stop", {{"scanId", "s1"}})),
            std::vector<Json>{scanCompleted("s1", "cancelled")});
  bluetooth->simulateAdapterState(CentralState::poweredOn);
  time.runUntilIdle();
  EXPECT_EQ(bluetooth->scanRequests(), 0);
}

TEST_F(Scanning, ScanTimeKeepsRunningWhileTheAdapterIsOffAndTheRadioScanResumes) {
  send(scanStart("s1", 3000));
  bluetooth->simulateAdapterState(CentralState::poweredOff);
  time.advanceBy(1s);
  EXPECT_FALSE(bluetooth->anyManagerScanning());
  bluetooth->simulateAdapterState(CentralState::poweredOn);
  time.runUntilIdle();
  // The scan was never ended, so its radio scan starts again and reports what is in range.
  EXPECT_TRUE(bluetooth->anyManagerScanning());
  discardEvents();
  advertise(kSpeakerId, -70);
  EXPECT_EQ(candidates().size(), 1u);
  time.advanceBy(2s);
  EXPECT_EQ(events(), std::vector<Json>{scanCompleted("s1", "timeout")});
}

TEST_F(Scanning, ShutdownCancelsTheActiveScanBeforeClosingTheOutput) {
  send(scanStart("s1"));
  EXPECT_EQ(send(command("shutdown")), std::vector<Json>{scanCompleted("s1", "cancelled")});
  EXPECT_TRUE(output.closed);
  EXPECT_EQ(exitStatus, 0);
  EXPECT_FALSE(bluetooth->anyManagerScanning());
}

}  // namespace
}  // namespace orvix::ble_host::testing
