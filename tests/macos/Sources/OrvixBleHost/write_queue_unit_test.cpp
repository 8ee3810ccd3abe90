// The write queue on its own, on a simulated link the test drives by hand: the bound counts the
// active write, and a write that finds its link gone takes the queued ones with it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/write_queue.h"
#include "common/base64.h"
#include "common/time/virtual_time_source.h"
#include "platform/simulated/bluetooth/simulated_peripheral.h"

namespace orvix::ble_host {
namespace {

using platform::PeripheralState;
using platform::simulated::SimulatedCharacteristic;
using platform::simulated::SimulatedPeripheral;

class WriteQueueUnit : public ::testing::Test {
 protected:
  WriteQueueUnit() { link->setState(PeripheralState::connected); }

  void submit(const std::string& requestId, const std::string& type, std::size_t bytes = 10) {
    queue.submit({{"connectionId", "c1"},
                  {"dataBase64", base64Encode(std::vector<std::uint8_t>(bytes, 7))},
                  {"writeType", type}},
                 requestId, std::string("c1"));
  }

  VirtualTimeSource time;
  std::shared_ptr<SimulatedPeripheral> link =
      std::make_shared<SimulatedPeripheral>(time, platform::simulated::SimulatedDevice{});
  std::shared_ptr<SimulatedCharacteristic> rx = std::make_shared<SimulatedCharacteristic>(
      platform::simulated::SimulatedCharacteristicSpec{serviceUUID, rxUUID});
  // "event:requestId[:code]" for each event, in order.
  std::vector<std::string> outcomes;
  bool record(std::string_view event, const Json& fields) {
    // Appended piece by piece: GCC 12 at -O3 takes a chain of + for an overlapping copy.
    std::string outcome(event);
    outcome.append(":").append(fields.at("requestId").get<std::string>());
    if (fields.contains("code")) outcome.append(":").append(fields.at("code").get<std::string>());
    outcomes.push_back(std::move(outcome));
    return true;
  }
  WriteQueue queue{[this](std::string_view event, Json fields) { return record(event, fields); },
                   [this] {
                     return WriteLink{link, rx};
                   }};
};

TEST_F(WriteQueueUnit, TheBoundCountsTheActiveWriteAndAFinishedWriteFreesItsPlace) {
  link->simulateWriteWithoutResponseCapacity(0);
  for (std::size_t i = 0; i < maximumPendingWrites; ++i) submit("w", "without-response");
  EXPECT_EQ(queue.accepted(), maximumPendingWrites);  // one active, the rest queued
  submit("over", "without-response");
  EXPECT_EQ(outcomes, std::vector<std::string>{"write.failed:over:QUEUE_FULL"});

  link->simulateWriteWithoutResponseCapacity(1);  // room for one piece: the active write ends
  queue.readyToSendWithoutResponse();
  EXPECT_EQ(outcomes.back(), "write.completed:w");
  EXPECT_EQ(queue.accepted(), maximumPendingWrites - 1);
  submit("fits", "without-response");
  EXPECT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(queue.accepted(), maximumPendingWrites);
}

TEST_F(WriteQueueUnit, AWriteThatFindsItsLinkGoneAtTheNextPieceFailsEveryAcceptedWrite) {
  submit("first", "with-response", 300);  // 244 bytes out, 56 wait for the confirmation
  submit("second", "with-response");
  queue.readyToSendWithoutResponse();  // not what a write with response waits for
  EXPECT_EQ(link->writes().size(), 1u);

  link->setState(PeripheralState::disconnecting);
  queue.confirmationArrived(false);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"write.failed:first:DISCONNECTED",
                                                "write.failed:second:DISCONNECTED"}));
  EXPECT_EQ(link->writes().size(), 1u);
  EXPECT_EQ(queue.accepted(), 0u);
}

}  // namespace
}  // namespace orvix::ble_host
