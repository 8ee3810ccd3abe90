// The process tap: set-up on the audio server's objects and rollback after each failed step,
// tear-down, the liveness listener and its once-only report, and what the recording does when
// the tap fails or dies.
#include <gtest/gtest.h>

#include <atomic>

#include "OrvixAudioCaptureHost/process_tap_capture.h"
#include "macos/Sources/OrvixAudioCaptureHost/capture_host_fixture.h"

namespace orvix::capture::testing {
namespace {

using platform::simulated::SimulatedProcessTaps;

AudioScenario withTap() {
  AudioScenario scenario;
  scenario.processTap.available = true;
  return scenario;
}

class ProcessTapTest : public CaptureHostTest {
 protected:
  std::unique_ptr<ProcessTapCapture> makeCapture() {
    return std::make_unique<ProcessTapCapture>(
        world->processTaps(), time, [this](const platform::PcmBufferView&) { ++buffers; },
        [this] { ++interruptions; });
  }
  // Every object the server was asked to create was destroyed again, exactly once.
  void expectNothingLeft() {
    const auto& counters = world->counters();
    EXPECT_EQ(world->processTaps().liveObjects(), 0u);
    EXPECT_EQ(counters.tapsDestroyed, counters.tapsCreated);
    EXPECT_EQ(counters.aggregateDevicesDestroyed, counters.aggregateDevicesCreated);
    EXPECT_EQ(counters.ioProcsDestroyed, counters.ioProcsCreated);
    EXPECT_EQ(counters.aliveListenersRemoved, counters.aliveListenersAdded);
    EXPECT_EQ(counters.deviceStops, counters.deviceStarts);
  }

  std::atomic<int> buffers{0};
  std::atomic<int> interruptions{0};
};

TEST_F(ProcessTapTest, ASetUpTapExcludesHostAndParentDeliversAndStopsOnce) {
  makeWorld(withTap());
  auto capture = makeCapture();
  ASSERT_TRUE(capture->start());
  const auto description = world->processTaps().lastTapDescription();
  ASSERT_TRUE(description);
  EXPECT_EQ(description->excludedProcesses.size(), 2u);
  EXPECT_FALSE(description->muted);  // what is recorded still plays
  EXPECT_EQ(world->processTaps().liveObjects(), 4u);
  advance(100ms);
  EXPECT_GT(buffers, 0);

  capture->stop();
  expectNothingLeft();
  EXPECT_EQ(world->counters().deviceStops, 1);
  const int delivered = buffers;
  capture->stop();
  advance(100ms);
  EXPECT_EQ(world->counters().tapsDestroyed, 1);
  EXPECT_EQ(buffers, delivered);
}

TEST_F(ProcessTapTest, AParentWithoutAudioObjectIsNotExcluded) {
  auto scenario = withTap();
  scenario.processTap.parentHasProcessObject = false;
  makeWorld(scenario);
  auto capture = makeCapture();
  ASSERT_TRUE(capture->start());
  EXPECT_EQ(world->processTaps().lastTapDescription()->excludedProcesses,
            std::vector<platform::AudioObjectId>{
                *world->processTaps().processObject(SimulatedProcessTaps::kHostProcessId)});
}

TEST_F(ProcessTapTest, OnlyADeadDeviceIsReportedOnceAndNeverAfterStop) {
  makeWorld(withTap());
  auto capture = makeCapture();
  ASSERT_TRUE(capture->start());
  world->processTaps().notifyAliveListeners();  // a change that leaves the device running
  advance(100ms);
  EXPECT_EQ(interruptions, 0);
  EXPECT_GT(buffers, 0);
  world->processTaps().simulateLoss();
  world->processTaps().simulateLoss();
  advance(10ms);
  EXPECT_EQ(interruptions, 1);

  // A notice already on its way when the capture stops finds it stopped.
  auto second = makeCapture();
  ASSERT_TRUE(second->start());
  world->processTaps().simulateLoss();
  second->stop();
  advance(10ms);
  EXPECT_EQ(interruptions, 1);
}

// Each step of the set-up failing in turn: nothing of the tap is left, the step after it is
// never tried, and the recording falls back to screen capture without a word about the tap.
class ProcessTapSetUpFailureTest : public ProcessTapTest,
                                   public ::testing::WithParamInterface<ProcessTapStep> {};

TEST_P(ProcessTapSetUpFailureTest, RollsBackAndFallsBackToScreenCapture) {
  auto scenario = withTap();
  scenario.processTap.failingStep = GetParam();
  makeWorld(scenario);
  {
    auto capture = makeCapture();
    EXPECT_FALSE(capture->start());
    expectNothingLeft();
    const int destroyed = world->counters().tapsDestroyed;
    capture->stop();
    EXPECT_EQ(world->counters().tapsDestroyed, destroyed);
    if (GetParam() != ProcessTapStep::startDevice) {
      EXPECT_EQ(world->counters().deviceStarts, 0);
    }
  }

  startRecording("media", "false");
  EXPECT_EQ(named("recording.started").at(0)["backend"], "screen-capture-kit");
  EXPECT_EQ(named("recording.started").at(0)["fallback"], true);
  expectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(EachStep, ProcessTapSetUpFailureTest,
                         ::testing::Values(ProcessTapStep::createTap,
                                           ProcessTapStep::createAggregateDevice,
                                           ProcessTapStep::readTapFormat,
                                           ProcessTapStep::createIoProc,
                                           ProcessTapStep::addAliveListener,
                                           ProcessTapStep::startDevice));

TEST_F(ProcessTapTest, ATapDyingDuringStartUpFallsBackToScreenCapture) {
  auto scenario = withTap();
  scenario.processTap.firstAudioDelay = 500ms;
  scenario.processTap.lostAt = 100ms;
  makeWorld(scenario);
  const Duration begin = time.now();
  startRecording("media", "false");
  EXPECT_EQ(named("recording.started").at(0)["fallback"], true);
  // The start-up attempt gave up at the death notice instead of waiting out its second.
  EXPECT_LT(time.now() - begin, 1s);
  expectNothingLeft();
}

TEST_F(ProcessTapTest, ATapDyingTwiceWhileRecordingCompletesOnceAsInterrupted) {
  makeWorld(withTap());
  startRecording("meeting");
  advance(1s);
  world->simulateTapLoss();
  world->simulateTapLoss();
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_EQ(milestones(),
            (std::vector<std::string>{"recording.started", "recording.completed"}));
  EXPECT_EQ(named("recording.completed").at(0)["interrupted"], true);
  expectNothingLeft();
}

}  // namespace
}  // namespace orvix::capture::testing
