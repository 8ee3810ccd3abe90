// The batcher on its own: the edges of its bounds and of its timer, which the host-level tests
// cross only from afar.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/notifications.h"
#include "common/time/virtual_time_source.h"

namespace orvix::ble_host {
namespace {

using namespace std::chrono_literals;

class NotificationBatcherUnit : public ::testing::Test {
 protected:
  void stream(std::size_t bytes, const std::string& connectionId = "c1") {
    batcher.streamValue(connectionId, std::vector<std::uint8_t>(bytes, 1));
  }
  // Each event written since the last call, as "connection:packet lengths" ("one" for a lone
  // packet).
  std::vector<std::string> written() {
    time.runUntilIdle();
    return std::exchange(events, {});
  }

  VirtualTimeSource time;
  std::vector<std::string> events;
  bool record(const Json& fields) {
    // Appended piece by piece: GCC 12 at -O3 takes a chain of + for an overlapping copy.
    const auto lengths = fields.find("packetLengths");
    std::string event = fields.at("connectionId").get<std::string>();
    event.append(":").append(lengths == fields.end() ? "one" : lengths->dump());
    events.push_back(std::move(event));
    return true;
  }
  NotificationBatcher batcher{time.mainLoop(),
                              [this](std::string_view, Json fields) { return record(fields); }};
};

TEST_F(NotificationBatcherUnit, ExactlyTheByteBoundFitsAndOneByteMoreStartsTheNextBatch) {
  for (int i = 0; i < 4; ++i) stream(maximumNotificationBatchBytes / 4);
  EXPECT_TRUE(written().empty());  // 12,000 bytes in four packets: still open
  stream(1);
  EXPECT_EQ(written(), std::vector<std::string>{"c1:[3000,3000,3000,3000]"});
  stream(1, "c2");  // another connection's packet closes the open batch of one
  EXPECT_EQ(written(), std::vector<std::string>{"c1:one"});
}

TEST_F(NotificationBatcherUnit, ABatchClosedEarlyTakesItsTimerWithIt) {
  for (int i = 0; i < 5; ++i) stream(1);  // the fifth packet writes the batch at once
  EXPECT_EQ(written().size(), 1u);
  time.advanceBy(30ms);
  stream(1);
  time.advanceBy(39ms);  // the first batch's timer would have fired 30 ms ago
  EXPECT_TRUE(written().empty());
  time.advanceBy(1ms);
  EXPECT_EQ(written().size(), 1u);

  batcher.setDelay(8ms);
  stream(1);
  batcher.setDelay(8ms);  // unchanged: the open batch keeps waiting
  EXPECT_TRUE(written().empty());
  time.advanceBy(8ms);
  EXPECT_EQ(written().size(), 1u);
}

}  // namespace
}  // namespace orvix::ble_host
