// Notifications: command values at once, stream values in batches bounded by count, bytes and
// delay, and nothing ever reordered, lost or repeated on the way to the desktop application.
#include <random>

#include "connected_host_fixture.h"

namespace orvix::ble_host::testing {
namespace {

class Notifications : public ConnectedHostTest {
 protected:
  void SetUp() override {
    bootAndFind();
    connect();
  }
  void stream(std::vector<std::uint8_t> packet) {
    recorder().simulateNotification(streamUUID, std::move(packet));
  }
};

TEST_F(Notifications, ABatchWaitsOneDelayFromItsFirstPacketAndNoLonger) {
  stream({0, 0});
  time.advanceBy(30ms);
  stream({1, 1});
  time.advanceBy(9ms);
  stream({2, 2});  // later packets do not restart the timer
  time.runUntilIdle();
  EXPECT_TRUE(events().empty());
  time.advanceBy(1ms);
  EXPECT_EQ(events(), (std::vector<Json>{{{"schemaVersion", 1},
                                          {"event", "notification.batch"},
                                          {"connectionId", "c1"},
                                          {"channel", "stream-a4"},
                                          {"dataBase64", "AAABAQIC"},
                                          {"packetLengths", {2, 2, 2}}}}));
}

TEST_F(Notifications, FivePacketsOrTwelveThousandBytesCloseABatchAtOnce) {
  for (std::uint8_t i = 0; i < 5; ++i) stream({i});
  time.runUntilIdle();
  auto five = events();
  ASSERT_EQ(names(five), std::vector<std::string>{"notification.batch"});
  EXPECT_EQ(five[0]["packetLengths"], Json({1, 1, 1, 1, 1}));

  stream(bytes(7000, 1));
  stream(bytes(7000, 2));   // would overflow: the first leaves alone, the second opens a batch
  stream(bytes(13000, 3));  // alone above the bound: its own batch, written after the delay
  time.runUntilIdle();
  auto split = events();
  ASSERT_EQ(names(split), (std::vector<std::string>{"notification", "notification"}));
  EXPECT_EQ(split[0]["dataBase64"], base64Encode(bytes(7000, 1)));
  EXPECT_EQ(split[1]["dataBase64"], base64Encode(bytes(7000, 2)));
  time.advanceBy(40ms);
  auto big = events();
  ASSERT_EQ(big.size(), 1u);
  EXPECT_EQ(big[0]["dataBase64"], base64Encode(bytes(13000, 3)));
}

TEST_F(Notifications, ACommandValueFlushesTheStreamFirst) {
  stream({1});
  stream({2});
  recorder().simulateNotification(commandUUID, {0x42});
  time.runUntilIdle();
  auto out = events();
  ASSERT_EQ(names(out), (std::vector<std::string>{"notification.batch", "notification"}));
  EXPECT_EQ(out[1], (Json{{"schemaVersion", 1},
                          {"event", "notification"},
                          {"connectionId", "c1"},
                          {"channel", "command-a3"},
                          {"dataBase64", "Qg=="}}));
}

TEST_F(Notifications, TheDelayPolicyAppliesToTheReadyConnectionUntilItEnds) {
  stream({1});
  time.runUntilIdle();
  EXPECT_TRUE(
      send(command("notification.configure", {{"connectionId", "other"}, {"maximumDelayMs", 8}}))
          .empty());
  // A change writes the open batch at once; later batches wait 8 ms.
  EXPECT_EQ(names(send(command("notification.configure",
                               {{"connectionId", "c1"}, {"maximumDelayMs", 8}}))),
            std::vector<std::string>{"notification"});
  stream({2});
  time.advanceBy(8ms);
  EXPECT_EQ(events().size(), 1u);
  // Unchanged: nothing flushed.
  stream({3});
  time.runUntilIdle();
  EXPECT_TRUE(
      send(command("notification.configure", {{"connectionId", "c1"}, {"maximumDelayMs", 8}}))
          .empty());
  time.advanceBy(8ms);
  EXPECT_EQ(events().size(), 1u);

  // After a reconnect the delay is 40 ms again.
  send(command("disconnect", {{"connectionId", "c1"}}));
  connect("c2");
  stream({4});
  time.advanceBy(39ms);
  EXPECT_TRUE(events().empty());
  time.advanceBy(1ms);
  EXPECT_EQ(events().size(), 1u);
}

TEST_F(Notifications, BufferedStreamDataLeavesBeforeDisconnected) {
  stream({1});
  stream({2});
  time.runUntilIdle();
  auto out = send(command("disconnect", {{"connectionId", "c1"}}));
  EXPECT_EQ(names(out), (std::vector<std::string>{"notification.batch", "disconnected:manual"}));
  time.advanceBy(1s);
  EXPECT_TRUE(events().empty());  // the batch timer went with the batch
}

TEST_F(Notifications, ABadValueIsReportedAndOthersAreDroppedSilently) {
  stream({1});
  recorder().simulateNotification(streamUUID, {9}, platform::BluetoothError{1, "bad"});
  recorder().simulateNotification(rxUUID, {7});  // not a notifying channel
  time.runUntilIdle();
  auto out = events();
  EXPECT_EQ(out, (std::vector<Json>{{{"schemaVersion", 1},
                                     {"event", "host.error"},
                                     {"scope", "connection"},
                                     {"code", "NOTIFICATION_FAILED"}}}));
  time.advanceBy(40ms);
  EXPECT_EQ(names(events()), std::vector<std::string>{"notification"});  // the batch was kept
  EXPECT_TRUE(host->hasPeripheral());
}

// A long stream of random sizes and timing, with command values mixed in: cutting every event
// back at its "packetLengths" must give each packet once, in order, on the right channel.
TEST_F(Notifications, ALongRandomStreamArrivesWholeAndInOrder) {
  std::mt19937 random(20261209);
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> sent;
  std::uint8_t counter = 0;
  for (int i = 0; i < 5000; ++i) {
    const bool isCommand = random() % 17 == 0;
    std::size_t length = 1 + random() % 244;
    if (random() % 200 == 0) length = 12001 + random() % 500;  // an oversized packet
    std::vector<std::uint8_t> packet(length);
    for (auto& byte : packet) byte = counter++;
    recorder().simulateNotification(isCommand ? commandUUID : streamUUID, packet);
    sent.emplace_back(isCommand ? "command-a3" : "stream-a4", std::move(packet));
    time.advanceBy(std::chrono::milliseconds(random() % 25));
  }
  time.advanceBy(1s);
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> received;
  for (const auto& event : events()) {
    const auto data = base64Decode(event["dataBase64"].get<std::string>());
    ASSERT_TRUE(data.has_value());
    if (event["event"] == "notification") {
      received.emplace_back(event["channel"], *data);
      continue;
    }
    ASSERT_EQ(event["event"], "notification.batch");
    const auto& lengths = event["packetLengths"];
    ASSERT_GE(lengths.size(), 2u);
    ASSERT_LE(lengths.size(), 5u);
    ASSERT_LE(data->size(), 12000u);
    std::size_t at = 0;
    for (const auto& length : lengths) {
      const auto n = length.get<std::size_t>();
      ASSERT_LE(at + n, data->size());
      received.emplace_back("stream-a4",
                            std::vector<std::uint8_t>(data->begin() + at, data->begin() + at + n));
      at += n;
    }
    EXPECT_EQ(at, data->size());
  }
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(received.size(), sent.size());
}

}  // namespace
}  // namespace orvix::ble_host::testing
