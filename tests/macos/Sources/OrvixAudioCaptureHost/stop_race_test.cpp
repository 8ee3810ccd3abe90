// A stop that lands in the middle of start-up or of a stream restart: every stream ends up
// stopped exactly once, nothing is left registered, and the events say what really happened.
#include <gtest/gtest.h>

#include "macos/Sources/OrvixAudioCaptureHost/capture_host_fixture.h"

namespace orvix::capture::testing {
namespace {

class StopRaceTest : public CaptureHostTest {
 protected:
  // The platform needs `delay` to start a stream from now on.
  void setStreamStartDelay(Duration delay) {
    std::lock_guard lock(world->specLock());
    world->spec().screenCapture.startDelay = delay;
  }
  // Checked a while after the exit, so that a start call still under way has returned.
  void expectStreamStopsAfterExit(int stops) {
    advance(1s);
    EXPECT_TRUE(world->currentStream() == nullptr) << "a stream runs after the exit";
    EXPECT_EQ(world->counters().streamStops, stops);
  }
};

TEST_F(StopRaceTest, AStopWhileARestartedStreamIsStartingLeavesNoStreamRunning) {
  startRecording("media", "false");
  advance(1s);
  setStreamStartDelay(500ms);
  world->simulateStreamStop(true);
  advance(2200ms);  // the restart waited its 2 s and is inside the slow start call
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_EQ(named("recording.completed").at(0)["interrupted"], true);
  expectStreamStopsAfterExit(1);  // the first stream was ended by the system
}

TEST_F(StopRaceTest, AStopWhileTheFirstStreamIsStartingStopsItOnce) {
  makeWorld(screenCaptureOnlyScenario());
  setStreamStartDelay(300ms);
  ASSERT_EQ(startHost("media", "false"), std::nullopt);
  advance(100ms);
  send("stop");
  EXPECT_EQ(runUntilExit(), 1);  // nothing was recorded
  EXPECT_EQ(milestones(), (std::vector<std::string>{"recording.failed", "recording.failed"}));
  expectStreamStopsAfterExit(1);
}

TEST_F(StopRaceTest, AStopWhileWaitingForSystemAudioStopsTheStreamOnce) {
  auto scenario = screenCaptureOnlyScenario();
  scenario.screenCapture.silentStarts = 2;
  makeWorld(scenario);
  ASSERT_EQ(startHost("media", "false"), std::nullopt);
  advance(500ms);
  send("stop");
  EXPECT_EQ(runUntilExit(), 1);
  expectStreamStopsAfterExit(1);
}

TEST_F(StopRaceTest, AStopDuringMicrophoneStartUpFailsItAndLeavesNoRouteListener) {
  makeWorld(screenCaptureOnlyScenario());
  // The stop comes while the engine is made, and the engine takes its time: the stop sequence
  // reaches the microphone teardown before start-up gets to its next step.
  world->microphone().setEngineMadeHook([this] {
    send("stop");
    time.sleepFor(50ms);
  });
  ASSERT_EQ(startHost("meeting"), std::nullopt);
  EXPECT_EQ(runUntilExit(), 0);  // system audio had been written before the stop
  EXPECT_EQ(milestones(), (std::vector<std::string>{"recording.failed", "recording.completed"}));
  EXPECT_EQ(world->microphone().listenerCount(), 0u);
  EXPECT_EQ(world->counters().engineStops, world->counters().engineStarts);
}

TEST_F(StopRaceTest, AStopAfterSystemAudioWasAcceptedStillAnnouncesTheRecording) {
  ASSERT_EQ(startHost("media", "false"), std::nullopt);
  // The main thread is busy while system audio arrives and start-up accepts it; the stop is
  // the next thing it handles, before the announcement start-up has queued for it.
  time.sleepFor(200ms);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_EQ(milestones(), (std::vector<std::string>{"recording.started", "recording.completed"}));
  EXPECT_TRUE(named("recording.progress").empty());
  EXPECT_TRUE(fileExists(outputPath));
}

}  // namespace
}  // namespace orvix::capture::testing
