// The real program without --simulate, on the BlueZ binding, against BlueZ's API on a private
// bus with the recorder in it: the session the desktop application runs with a real recorder.
#include <gtest/gtest.h>

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

// The first event written that contains `needle`.
nlohmann::json eventWith(const std::string& output, const std::string& needle) {
  for (const auto& line : linesOf(output)) {
    if (line.find(needle) != std::string::npos) return nlohmann::json::parse(line);
  }
  return {};
}

// Every stream byte the host wrote, in the order written, whether alone or in batches.
std::vector<std::uint8_t> streamBytes(const std::string& output) {
  std::vector<std::uint8_t> bytes;
  for (const auto& line : linesOf(output)) {
    const auto event = nlohmann::json::parse(line);
    if (!event.contains("channel") || event["channel"] != "stream-a4") continue;
    const auto data = base64Decode(event["dataBase64"].get<std::string>());
    if (data) bytes.insert(bytes.end(), data->begin(), data->end());
  }
  return bytes;
}

TEST(BleHostOverBluez, ScanConnectWriteStreamDisconnectAndLoseTheLink) {
  MockBluez bluez;
  ChildOptions options;
  options.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()}};
  ChildProcess host(ORVIX_BLE_HOST_PATH, options);
  const auto await = [&](const std::string& needle, std::size_t times = 1) {
    return host.awaitOutput(needle, 30s, times);
  };

  host.writeInput(commandLine("permission.refresh", {{"requestAuthorization", true}}));
  ASSERT_TRUE(await(R"("authorization":"allowed","event":"adapter.state","schemaVersion":1,)"
                    R"("state":"powered-on")"));
  host.writeInput(commandLine("scan.start", {{"scanId", "scan-1"}, {"timeoutMs", 30000}}));
  bluez.advertise(-61);
  ASSERT_TRUE(await("\"event\":\"candidate.discovered\""));
  const auto discovered = eventWith(host.outputSoFar(), "candidate.discovered");
  EXPECT_EQ(discovered["nameHint"], "Orvix K7");
  EXPECT_EQ(discovered["serviceAdvertisedHint"], true);
  EXPECT_EQ(discovered["rssi"], -61);
  const std::string candidate = discovered["candidateId"];

  host.writeInput(commandLine("connect", {{"candidateId", candidate}, {"connectionId", "c1"}}));
  ASSERT_TRUE(await("\"event\":\"gatt.ready\""));
  const auto ready = eventWith(host.outputSoFar(), "gatt.ready");
  EXPECT_EQ(ready["maximumWriteWithoutResponseBytes"], 244);
  EXPECT_EQ(ready["maximumWriteWithResponseBytes"], 244);

  host.writeInput(commandLine("write", {{"requestId", "w1"}, {"connectionId", "c1"},
                                        {"writeType", "with-response"}, {"dataBase64", "AQID"}}));
  host.writeInput(commandLine("write", {{"requestId", "w2"}, {"connectionId", "c1"},
                                        {"writeType", "without-response"},
                                        {"dataBase64", "BAU="}}));
  ASSERT_TRUE(await("\"event\":\"write.completed\"", 2));
  // A write without response is complete once handed to BlueZ, which may not have passed it on.
  auto writes = bluez.writes();
  for (int round = 0; writes.size() < 2 && round < 3000; ++round) {
    host.readFor(10ms);
    writes = bluez.writes();
  }
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(writes[0].type, "request");
  EXPECT_EQ(writes[1].bytes, (std::vector<std::uint8_t>{4, 5}));
  EXPECT_EQ(writes[1].type, "command");

  // 12 packets of 20 bytes counting up: batches of at most 5, every byte once and in order.
  bluez.notifyBurst("stream", 12, 20);
  ASSERT_TRUE(await("\"event\":\"notification.batch\"", 2));
  ASSERT_TRUE(await("\"packetLengths\":[20,20]"));
  const auto stream = streamBytes(host.outputSoFar());
  ASSERT_EQ(stream.size(), 240u);
  for (std::size_t i = 0; i < stream.size(); ++i) ASSERT_EQ(stream[i], i % 256) << i;

  host.writeInput(commandLine("disconnect", {{"connectionId", "c1"}}));
  ASSERT_TRUE(await(R"("connectionId":"c1","event":"disconnected","reason":"manual","reconnectable":false)"));
  // Connected again, the link is then lost from the device's side.
  host.writeInput(commandLine("connect", {{"candidateId", candidate}, {"connectionId", "c2"}}));
  ASSERT_TRUE(await("\"event\":\"gatt.ready\"", 2));
  bluez.dropLink();
  ASSERT_TRUE(await(R"("connectionId":"c2","event":"disconnected","reason":"link-loss","reconnectable":true)"));
  const ChildResult result = host.finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardError, "");
}

}  // namespace
}  // namespace orvix::testing
