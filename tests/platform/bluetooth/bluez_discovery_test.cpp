// The discovery session against a bluetoothd that answers when the test says: one call at a
// time, a start only after the stop's reply, "InProgress" retried, anything else reported.
#include "platform/linux/bluetooth/bluez_discovery.h"

#include <gtest/gtest.h>

#include <deque>

#include "common/time/virtual_time_source.h"

namespace orvix::platform::linux_bluetooth {
namespace {

using namespace std::chrono_literals;

class BluezDiscoveryTest : public ::testing::Test {
 protected:
  struct Sent {
    BusCall call;
    BusReply reply;
  };

  // The method of the call waiting for its reply, answered with `error` (none: success).
  std::string answer(std::optional<BusError> error = std::nullopt) {
    if (sent.empty()) return "";
    auto oldest = std::move(sent.front());
    sent.pop_front();
    oldest.reply(error);
    time.runUntilIdle();
    return oldest.call.method;
  }
  std::string waiting() const { return sent.empty() ? "" : sent.front().call.method; }

  VirtualTimeSource time;
  std::deque<Sent> sent;
  std::vector<BusError> failures;
  BluezDiscovery discovery{time.mainLoop(),
                           [this](BusCall call, BusReply reply) {
                             sent.push_back({std::move(call), std::move(reply)});
                           },
                           [this](const BusError& error) { failures.push_back(error); }};
};

const BusError kInProgress{"org.bluez.Error.InProgress", "Operation already in progress"};

TEST_F(BluezDiscoveryTest, AScanReplacedWhileItsStopRunsStartsOnlyAfterTheStopAndRetriesInProgress) {
  discovery.want("/org/bluez/hci0", true, true);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent.front().call.duplicateData);
  EXPECT_EQ(sent.front().call.rssiFloor, -127);  // so that every advertisement's RSSI is told
  EXPECT_EQ(answer(), "SetDiscoveryFilter");
  EXPECT_EQ(answer(), "StartDiscovery");

  // Stopped and asked for again: the start waits for the stop's reply, one call at a time.
  discovery.want("/org/bluez/hci0", false, true);
  discovery.want("/org/bluez/hci0", true, true);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(answer(), "StopDiscovery");
  EXPECT_EQ(answer(), "SetDiscoveryFilter");
  // bluetoothd still finishing the stop: the start is sent again until it is taken.
  EXPECT_EQ(answer(kInProgress), "StartDiscovery");
  EXPECT_TRUE(sent.empty());
  time.advanceBy(BluezDiscovery::kRetryDelay);
  EXPECT_EQ(answer(), "StartDiscovery");
  EXPECT_TRUE(failures.empty());

  // A change of the wish for duplicates refilters the running session without a restart.
  discovery.want("/org/bluez/hci0", true, false);
  ASSERT_EQ(waiting(), "SetDiscoveryFilter");
  EXPECT_FALSE(sent.front().call.duplicateData);
  answer();
  EXPECT_TRUE(sent.empty());
}

TEST_F(BluezDiscoveryTest, ARefusalOtherThanInProgressIsReportedAndAResetVoidsLateReplies) {
  discovery.want("/org/bluez/hci0", true, true);
  answer();
  answer(BusError{"org.bluez.Error.NotReady", "Resource Not Ready"});
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures.front().name, "org.bluez.Error.NotReady");
  EXPECT_TRUE(sent.empty());

  // InProgress that never clears gives up too, rather than scanning in name only.
  discovery.want("/org/bluez/hci0", true, true);
  answer();
  for (int attempt = 0; attempt < BluezDiscovery::kMaximumStartAttempts; ++attempt) {
    answer(kInProgress);
    time.advanceBy(BluezDiscovery::kRetryDelay);
  }
  EXPECT_EQ(failures.size(), 2u);

  // BlueZ restarted while a start was on its way: its late reply starts nothing.
  discovery.want("/org/bluez/hci0", true, true);
  answer();
  discovery.reset();
  answer();
  EXPECT_TRUE(sent.empty());
  discovery.want("/org/bluez/hci0", true, true);
  EXPECT_EQ(waiting(), "SetDiscoveryFilter");
}

}  // namespace
}  // namespace orvix::platform::linux_bluetooth
