// The write queue on a live link: pieces cut to the link's lengths, pacing by confirmations and
// by the platform's readiness, the queue bound, and how failures reach each accepted write.
#include "connected_host_fixture.h"

namespace orvix::ble_host::testing {
namespace {

class WriteQueue : public ConnectedHostTest {
 protected:
  void SetUp() override {
    bootAndFind();
    connect();
  }
  std::vector<std::size_t> pieces() {
    std::vector<std::size_t> sizes;
    for (const auto& w : recorder().writes()) sizes.push_back(w.bytes.size());
    return sizes;
  }
  Json multiFrame(const std::string& requestId) {
    auto frames = write(requestId, 200, "without-response");
    frames["additionalFramesBase64"] = {base64Encode(bytes(100, 1)), base64Encode(bytes(100, 2)),
                                        base64Encode(bytes(100, 3))};
    return frames;
  }
};

TEST_F(WriteQueue, WithResponseGoesOutInPiecesOfTheSmallerLengthEachAfterItsConfirmation) {
  host->handle(write("w1", 500, "with-response").dump());
  EXPECT_EQ(pieces(), std::vector<std::size_t>{244});  // waits for the confirmation
  time.runUntilIdle();
  EXPECT_EQ(pieces(), (std::vector<std::size_t>{244, 244, 12}));
  EXPECT_EQ(events(), (std::vector<Json>{{{"schemaVersion", 1},
                                          {"event", "write.completed"},
                                          {"connectionId", "c1"},
                                          {"requestId", "w1"},
                                          {"writtenBytes", 500}}}));
}

TEST_F(WriteQueue, EachFrameIsItsOwnPlatformWriteAndReadinessResumesAStalledWrite) {
  recorder().simulateWriteWithoutResponseCapacity(0);
  EXPECT_TRUE(send(multiFrame("w1")).empty());
  EXPECT_TRUE(pieces().empty());  // the platform said "not now"
  recorder().simulateWriteWithoutResponseCapacity(2);
  time.runUntilIdle();
  EXPECT_EQ(pieces(), (std::vector<std::size_t>{200, 100}));
  EXPECT_TRUE(events().empty());
  recorder().simulateWriteWithoutResponseCapacity(10);
  time.runUntilIdle();
  EXPECT_EQ(pieces(), (std::vector<std::size_t>{200, 100, 100, 100}));
  auto completed = events();
  ASSERT_EQ(completed.size(), 1u);
  EXPECT_EQ(completed[0]["writtenBytes"], 500);
}

TEST_F(WriteQueue, ThePieceSizeIsReadAtEveryPieceAndAZeroLengthFailsOnlyThatWrite) {
  recorder().setMaximumWriteLengths(512, 100);  // the link's lengths changed after "gatt.ready"
  send(write("w1", 250, "with-response"));
  EXPECT_EQ(pieces(), (std::vector<std::size_t>{100, 100, 50}));
  recorder().setMaximumWriteLengths(512, 0);  // no limit for writes without response: 512
  send(write("w2", 600, "with-response"));
  EXPECT_EQ(pieces(), (std::vector<std::size_t>{100, 100, 50, 512, 88}));
  discardEvents();
  host->handle(write("w3", 10, "without-response").dump());
  host->handle(write("w4", 10, "with-response").dump());
  time.runUntilIdle();
  EXPECT_EQ(names(events()),
            (std::vector<std::string>{"write.failed:UNSUPPORTED_WRITE", "write.completed"}));
}

TEST_F(WriteQueue, AFailedConfirmationFailsOneWriteAndTheNextGoesOn) {
  recorder().failNextConfirmations(1);
  host->handle(write("w1", 300, "with-response").dump());
  host->handle(write("w2", 10, "with-response").dump());
  time.runUntilIdle();
  auto results = events();
  EXPECT_EQ(names(results),
            (std::vector<std::string>{"write.failed:GATT_FAILURE", "write.completed"}));
  EXPECT_EQ(results[0]["connectionId"], "c1");
  EXPECT_EQ(results[0]["requestId"], "w1");
  EXPECT_EQ(pieces(), (std::vector<std::size_t>{244, 10}));  // w1's rest was never sent

  // A failing confirmation that arrives while no write with response waits (its write already
  // ended) fails nothing: here a write without response waits for the platform's readiness.
  recorder().simulateWriteWithoutResponseCapacity(0);
  host->handle(write("w3", 10, "without-response").dump());
  auto& rx = *recorder().services().front()->characteristics()[0];
  host->didWriteValue(recorder(), rx, platform::BluetoothError{3, "late"});
  EXPECT_TRUE(events().empty());
  recorder().simulateWriteWithoutResponseCapacity(1);
  time.runUntilIdle();
  EXPECT_EQ(names(events()), std::vector<std::string>{"write.completed"});
}

TEST_F(WriteQueue, SixtyFourPendingWritesAreTheBoundAndALostLinkFailsThemAllInOrder) {
  // Appended, not "q" + ...: GCC 12 at -O3 takes that concatenation for an overlapping copy.
  const auto queued = [](int i) { return std::string("q").append(std::to_string(i)); };
  recorder().simulateWriteWithoutResponseCapacity(0);
  host->handle(write("first", 10, "without-response").dump());
  for (int i = 1; i < 64; ++i) {
    host->handle(write(queued(i), 10, "without-response").dump());
  }
  auto full = send(write("65th", 10, "without-response"));
  ASSERT_EQ(names(full), std::vector<std::string>{"write.failed:QUEUE_FULL"});
  EXPECT_EQ(full[0]["requestId"], "65th");
  bluetooth->simulateLinkLoss(uuidOf(kRecorderId));
  time.runUntilIdle();
  auto failed = events();
  ASSERT_EQ(failed.size(), 65u);
  EXPECT_EQ(failed[0]["reason"], "link-loss");  // "disconnected" first on a lost link
  EXPECT_EQ(failed[1]["requestId"], "first");   // then the active write, then queue order
  for (int i = 1; i < 64; ++i) {
    EXPECT_EQ(failed[static_cast<std::size_t>(i) + 1]["requestId"], queued(i));
    EXPECT_EQ(failed[static_cast<std::size_t>(i) + 1]["code"], "DISCONNECTED");
  }
}

TEST_F(WriteQueue, AManualDisconnectFailsPendingWritesBeforeDisconnected) {
  recorder().simulateWriteWithoutResponseCapacity(0);
  host->handle(write("a", 10, "without-response").dump());
  host->handle(write("b", 10, "with-response").dump());
  EXPECT_EQ(names(send(command("disconnect", {{"connectionId", "c1"}}))),
            (std::vector<std::string>{"write.failed:DISCONNECTED", "write.failed:DISCONNECTED",
                                      "disconnected:manual"}));
  // After the link: refused, named "unconnected".
  auto refused = send(write("late", 10, "with-response"));
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0]["connectionId"], "unconnected");
  EXPECT_EQ(refused[0]["code"], "INVALID_REQUEST");
}

}  // namespace
}  // namespace orvix::ble_host::testing
