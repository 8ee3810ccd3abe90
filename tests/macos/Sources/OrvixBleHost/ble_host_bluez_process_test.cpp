// The real program without --simulate, on the BlueZ binding, against a BlueZ on a private bus
// that refuses, delays and orders as bluetoothd does: the sessions the desktop application runs
// with a real recorder, one case per behaviour the wire shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/base64.h"
#include "support/bluez/mock_bluez.h"
#include "support/child_process.h"
#include "support/file_text.h"

namespace orvix::testing {
namespace {

using namespace std::chrono_literals;

std::string commandLine(const std::string& name, nlohmann::json fields) {
  fields["schemaVersion"] = 1;
  fields["command"] = name;
  if (!fields.contains("requestId")) fields["requestId"] = name;
  return fields.dump() + "\n";
}

std::vector<nlohmann::json> eventsOf(const std::string& output) {
  std::vector<nlohmann::json> events;
  for (const auto& line : linesOf(output)) events.push_back(nlohmann::json::parse(line));
  return events;
}

// The first event written that contains `needle`.
nlohmann::json eventWith(const std::string& output, const std::string& needle) {
  for (const auto& line : linesOf(output)) {
    if (line.find(needle) != std::string::npos) return nlohmann::json::parse(line);
  }
  return {};
}

class BleHostOverBluez : public ::testing::Test {
 protected:
  BleHostOverBluez() : host_(ORVIX_BLE_HOST_PATH, options()) {}

  ChildOptions options() const {
    ChildOptions options;
    options.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()}};
    return options;
  }
  void send(const std::string& name, nlohmann::json fields = nlohmann::json::object()) {
    host_.writeInput(commandLine(name, std::move(fields)));
  }
  bool await(const std::string& needle, std::size_t times = 1) {
    return host_.awaitOutput(needle, 30s, times);
  }
  const std::string& output() const { return host_.outputSoFar(); }

  void poweredOn() {
    send("permission.refresh", {{"requestAuthorization", true}});
    ASSERT_TRUE(await(R"("state":"powered-on")"));
  }
  // The recorder as a candidate of a scan, the scan then stopped.
  std::string discoverRecorder(const std::string& scanId = "scan") {
    send("scan.start", {{"scanId", scanId}, {"timeoutMs", 30000}});
    EXPECT_TRUE(await("\"event\":\"candidate.discovered\""));
    send("scan.stop", {{"scanId", scanId}});
    return eventWith(output(), "candidate.discovered").value("candidateId", "");
  }
  void connect(const std::string& candidate, const std::string& connectionId,
               std::size_t readyCount = 1) {
    send("connect", {{"candidateId", candidate}, {"connectionId", connectionId}});
    ASSERT_TRUE(await("\"event\":\"gatt.ready\"", readyCount));
  }
  // Powered on, the recorder found while it advertised and connected as "c1"; its candidate id.
  std::string readyLink() {
    poweredOn();
    bluez.advertiseEvery(100ms, -61);
    const auto candidate = discoverRecorder();
    bluez.advertiseEvery(0ms, -61);
    connect(candidate, "c1");
    return candidate;
  }

  MockBluez bluez;  // first: the host must find the private bus
  ChildProcess host_;
};

TEST_F(BleHostOverBluez, AReplacedScanFindsTheRecorderAndAWriteWithResponseCompletes) {
  poweredOn();
  bluez.advertiseEvery(100ms, -61);
  // The second scan replaces the first while bluetoothd is still starting or stopping it.
  send("scan.start", {{"scanId", "scan-1"}, {"timeoutMs", 30000}});
  send("scan.start", {{"scanId", "scan-2"}, {"timeoutMs", 30000}});
  ASSERT_TRUE(await(R"("reason":"cancelled","scanId":"scan-1")"));
  const std::string heard = R"("scanId":"scan-2","schemaVersion":1,"serviceAdvertisedHint":true)";
  ASSERT_TRUE(await(heard));
  const auto discovered = eventWith(output(), heard);
  EXPECT_EQ(discovered["nameHint"], "Orvix K7");
  EXPECT_EQ(discovered["rssi"], -61);
  send("scan.stop", {{"scanId", "scan-2"}});
  bluez.advertiseEvery(0ms, -61);

  connect(discovered["candidateId"], "c1");
  const auto ready = eventWith(output(), "gatt.ready");
  EXPECT_EQ(ready["maximumWriteWithoutResponseBytes"], 244);
  EXPECT_EQ(ready["maximumWriteWithResponseBytes"], 244);
  send("write", {{"requestId", "w1"}, {"connectionId", "c1"}, {"writeType", "with-response"},
                 {"dataBase64", "AQID"}});
  send("write", {{"requestId", "w2"}, {"connectionId", "c1"}, {"writeType", "without-response"},
                 {"dataBase64", "BAU="}});
  ASSERT_TRUE(await(R"("event":"write.completed","requestId":"w2")"));
  EXPECT_NE(output().find(R"("event":"write.completed","requestId":"w1")"), std::string::npos);
  // A write without response is complete once handed to BlueZ, which may not have passed it on.
  auto writes = bluez.writes();
  for (int round = 0; writes.size() < 2 && round < 3000; ++round) {
    host_.readFor(10ms);
    writes = bluez.writes();
  }
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(writes[0].type, "request");
  EXPECT_EQ(writes[1].type, "command");
  EXPECT_EQ(output().find("host.error"), std::string::npos) << output();
}

TEST_F(BleHostOverBluez, AnInterleavedBurstLeavesInArrivalOrder) {
  readyLink();
  // Each connection event: four stream packets, a command, four stream packets; 500 a second.
  std::vector<std::string> order;
  for (int event = 0; event < 100; ++event) {
    for (const char* which : {"stream", "stream", "stream", "stream", "command", "stream",
                              "stream", "stream", "stream"}) {
      order.emplace_back(which);
    }
  }
  bluez.notifySequence(order, 2ms, 20);
  ASSERT_TRUE(await("\"channel\":\"command-a3\"", 100));
  host_.readFor(300ms);  // the last stream batch leaves 40 ms after its first packet

  // Every packet's index, in the order the host wrote them, across both channels.
  std::vector<std::uint32_t> indices;
  for (const auto& event : eventsOf(output())) {
    if (!event.contains("channel")) continue;
    const auto data = base64Decode(event["dataBase64"].get<std::string>());
    ASSERT_TRUE(data);
    std::vector<std::size_t> lengths = {data->size()};
    if (event.contains("packetLengths")) lengths = event["packetLengths"].get<std::vector<std::size_t>>();
    std::size_t at = 0;
    for (const auto length : lengths) {
      ASSERT_GE(length, 4u);
      indices.push_back((std::uint32_t{(*data)[at]} << 24) | (std::uint32_t{(*data)[at + 1]} << 16) |
                        (std::uint32_t{(*data)[at + 2]} << 8) | (*data)[at + 3]);
      at += length;
    }
  }
  ASSERT_EQ(indices.size(), order.size());
  for (std::uint32_t i = 0; i < indices.size(); ++i) ASSERT_EQ(indices[i], i) << "at " << i;
}

TEST_F(BleHostOverBluez, ALostLinkReportsOnlyTheDisconnection) {
  readyLink();
  bluez.dropLink();  // bluetoothd leaves "Notifying" as it was
  ASSERT_TRUE(await(R"("connectionId":"c1","event":"disconnected","reason":"link-loss","reconnectable":true)"));
  host_.readFor(500ms);
  EXPECT_EQ(output().find("host.error"), std::string::npos) << output();
}

TEST_F(BleHostOverBluez, ARequestedDisconnectEndsAtOnceAndShutdownLetsTheRecorderGo) {
  const auto candidate = readyLink();
  // bluetoothd answers Disconnect only once it dropped the link, two seconds on.
  send("disconnect", {{"connectionId", "c1"}});
  ASSERT_TRUE(await(R"("connectionId":"c1","event":"disconnected","reason":"manual","reconnectable":false)"));
  // The next link waits for bluetoothd to let go of the last one.
  connect(candidate, "c2", 2);
  host_.readFor(1500ms);
  EXPECT_EQ(output().find("host.error"), std::string::npos) << output();

  send("shutdown");
  const ChildResult result = host_.finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardError, "");
  // The recorder is let go of, not left connected and invisible to the next run's scans.
  const auto calls = bluez.calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](const auto& c) { return c.method == "Disconnect"; }),
            2);
}

TEST_F(BleHostOverBluez, AConnectionThatWaitsForTheRecorderOutlastsBluezGivingUp) {
  poweredOn();
  bluez.advertiseEvery(100ms, -61);
  const auto candidate = discoverRecorder();
  bluez.refuseConnections(true);  // out of reach: bluetoothd gives up on each attempt
  send("connect", {{"candidateId", candidate}, {"connectionId", "c1"}, {"waitForAvailability", true}});
  host_.readFor(3s);
  EXPECT_EQ(output().find("\"disconnected\""), std::string::npos) << output();
  bluez.refuseConnections(false);  // back in range
  ASSERT_TRUE(await("\"event\":\"gatt.ready\""));
  const auto calls = bluez.calls();
  EXPECT_GT(std::count_if(calls.begin(), calls.end(),
                          [](const auto& c) { return c.method == "Connect"; }),
            2);
}

TEST_F(BleHostOverBluez, AnOldCandidateConnectsAfterBluetoothdRestarted) {
  poweredOn();
  bluez.advertiseEvery(100ms, -61);
  const auto candidate = discoverRecorder();
  bluez.restartBluez();  // the recorder's device object goes with bluetoothd
  ASSERT_TRUE(await(R"("state":"resetting")"));
  ASSERT_TRUE(await(R"("state":"powered-on")", 2));
  // The binding looks for the device until it is heard again, then connects.
  connect(candidate, "c1");
  EXPECT_EQ(output().find("host.error"), std::string::npos) << output();
}

TEST_F(BleHostOverBluez, TheSystemBusGoingAwayAndComingBack) {
  poweredOn();
  bluez.restartBus();
  ASSERT_TRUE(await(R"("state":"unsupported")"));
  ASSERT_TRUE(await(R"("state":"powered-on")", 2));
  bluez.advertiseEvery(100ms, -61);
  EXPECT_FALSE(discoverRecorder().empty());
}

}  // namespace
}  // namespace orvix::testing
