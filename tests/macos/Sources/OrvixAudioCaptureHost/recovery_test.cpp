// A running system stream that stops: timed restarts, the stable reset, outages with pauses,
// and the losses that end a recording as interrupted.
#include <gtest/gtest.h>

#include "macos/Sources/OrvixAudioCaptureHost/capture_host_fixture.h"

namespace orvix::capture::testing {
namespace {

class RecoveryTest : public CaptureHostTest {
 protected:
  std::vector<Json> recoveries() { return named("recording.recovery"); }

  // Stops the running stream as the system does and waits until a restart came back.
  void stopStreamAndWaitForRecovery() {
    const std::size_t before = recoveries().size();
    world->simulateStreamStop(true);
    for (int i = 0; i < 1000 && recoveries().size() < before + 2; ++i) advance(100ms);
    ASSERT_EQ(recoveries().size(), before + 2) << transcript();
    advance(200ms);  // the restarted stream delivers again
  }
};

TEST_F(RecoveryTest, AStreamStoppedBySystemIsRestartedAfterTwoSecondsAndTheGapFilled) {
  startRecording("meeting");
  advance(1s);
  world->simulateStreamStop(true);
  advance(10ms);
  ASSERT_EQ(recoveries().size(), 1u);
  EXPECT_EQ(recoveries()[0], (Json{{"event", "recording.recovery"},
                                   {"schemaVersion", 1},
                                   {"phase", "recovering"},
                                   {"attempt", 1},
                                   {"retryDelayMs", 2000},
                                   {"gapMs", 0}}));
  // During the outage the elapsed time keeps growing and the system level reads 0.
  sink.clear();
  advance(1s);
  for (const auto& progress : named("recording.progress")) EXPECT_EQ(progress["systemLevel"], 0);
  const auto during = named("recording.progress");
  ASSERT_GE(during.size(), 2u);
  EXPECT_GT(during.back()["elapsedMs"], during.front()["elapsedMs"]);
  advance(1100ms);
  ASSERT_EQ(recoveries().size(), 1u);
  EXPECT_EQ(recoveries()[0]["phase"], "recovered");
  EXPECT_EQ(recoveries()[0]["attempt"], 1);
  EXPECT_EQ(recoveries()[0]["retryDelayMs"], 0);
  EXPECT_GE(recoveries()[0]["gapMs"].get<int>(), 2000);
  EXPECT_LT(recoveries()[0]["gapMs"].get<int>(), 2100);
  advance(2s);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  const auto completed = named("recording.completed").at(0);
  EXPECT_EQ(completed["interrupted"], false);
  // The outage is in the file as silence: the recording is as long as the time it ran.
  EXPECT_NEAR(completed["durationMs"].get<double>(), 5100, 150);
  EXPECT_EQ(readTrack(systemPath()).size(), readTrack(microphonePath()).size());
}

TEST_F(RecoveryTest, FourRestartsWithGrowingDelaysThenTheFifthStopEndsTheRecording) {
  startRecording("media", "false");
  advance(500ms);
  for (int attempt = 1; attempt <= 4; ++attempt) stopStreamAndWaitForRecovery();
  const auto events = recoveries();
  ASSERT_EQ(events.size(), 8u);
  const int delays[] = {2000, 5000, 15000, 30000};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(events[2 * i]["phase"], "recovering");
    EXPECT_EQ(events[2 * i]["attempt"], i + 1);
    EXPECT_EQ(events[2 * i]["retryDelayMs"], delays[i]);
    EXPECT_EQ(events[2 * i + 1]["phase"], "recovered");
    EXPECT_EQ(events[2 * i + 1]["attempt"], i + 1);
    EXPECT_GE(events[2 * i + 1]["gapMs"].get<int>(), delays[i]);
  }
  world->simulateStreamStop(true);
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_EQ(recoveries().size(), 8u);
  EXPECT_EQ(named("recording.completed").at(0)["interrupted"], true);
  EXPECT_EQ(readBytes(outputPath), readBytes(systemPath()));
}

TEST_F(RecoveryTest, AStreamThatRanAMinuteEarnsAFreshCount) {
  startRecording("media", "false");
  stopStreamAndWaitForRecovery();
  stopStreamAndWaitForRecovery();  // attempt 2, 5 s
  advance(60s);
  stopStreamAndWaitForRecovery();
  const auto events = recoveries();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[4]["attempt"], 1);
  EXPECT_EQ(events[4]["retryDelayMs"], 2000);
}

TEST_F(RecoveryTest, FailedRestartsCostTimeAndTheNextDelayIsUsed) {
  startRecording("media", "false");
  {
    std::lock_guard lock(world->specLock());
    world->spec().screenCapture.failingStarts = 1;
  }
  world->simulateStreamStop(true);
  for (int i = 0; i < 200 && recoveries().size() < 3; ++i) advance(100ms);
  const auto events = recoveries();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1]["phase"], "recovering");
  EXPECT_EQ(events[1]["attempt"], 2);
  EXPECT_EQ(events[1]["retryDelayMs"], 5000);
  EXPECT_GE(events[1]["gapMs"].get<int>(), 2000);
  EXPECT_EQ(events[2]["phase"], "recovered");
  EXPECT_GE(events[2]["gapMs"].get<int>(), 7000);
}

TEST_F(RecoveryTest, PausedTimeDoesNotCountAsOutage) {
  startRecording("meeting");
  advance(500ms);
  world->simulateStreamStop(true);
  advance(1s);
  send("pause");
  advance(5s);  // the restart happens while paused
  send("resume");
  advance(500ms);
  const auto events = recoveries();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1]["phase"], "recovered");
  EXPECT_EQ(events[1]["gapMs"], 1000);
  // Only the unpaused second of the outage went into the tracks as silence: 0.5 s before it,
  // 1 s of outage and 0.5 s after the resume.
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_NEAR(named("recording.completed").at(0)["durationMs"].get<double>(), 2000, 120);
  EXPECT_EQ(readTrack(systemPath()).size(), readTrack(microphonePath()).size());
}

TEST_F(RecoveryTest, AStopDuringAPendingRestartCompletesInterruptedWithTheOutageFilled) {
  startRecording("meeting");
  advance(2s);
  world->simulateStreamStop(true);
  advance(1500ms);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_EQ(recoveries().size(), 1u);
  const auto completed = named("recording.completed").at(0);
  EXPECT_EQ(completed["interrupted"], true);
  EXPECT_NEAR(completed["durationMs"].get<double>(), 3500, 150);
  EXPECT_EQ(readTrack(systemPath()).size(), readTrack(microphonePath()).size());
}

TEST_F(RecoveryTest, AnotherStreamErrorEndsTheRecordingAtOnce) {
  startRecording("media", "false");
  advance(1s);
  world->simulateStreamStop(false);
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_TRUE(recoveries().empty());
  EXPECT_EQ(named("recording.completed").at(0)["interrupted"], true);
}

TEST_F(RecoveryTest, AStopBeforeStartUpCompletedCancelsTheAttemptInsteadOfRecovering) {
  auto scenario = screenCaptureOnlyScenario();
  scenario.screenCapture.silentStarts = 1;
  scenario.screenCapture.stops.push_back({300ms, true});
  makeWorld(scenario);
  startRecording("media", "false");
  EXPECT_EQ(world->counters().streamsMade, 2);
  EXPECT_TRUE(recoveries().empty());
  // The cancelled attempt did not sit out its second: 300 ms, the 250 ms pause, first audio.
  EXPECT_LT(time.now() - VirtualTimeSource::kStartUptime, 800ms);
}

TEST_F(RecoveryTest, LosingTheProcessTapCompletesAtOnceWithoutRestart) {
  AudioScenario scenario;
  scenario.processTap.available = true;
  makeWorld(scenario);
  startRecording("meeting");
  advance(1s);
  world->simulateTapLoss();
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_TRUE(recoveries().empty());
  EXPECT_EQ(world->counters().streamsMade, 0);
  EXPECT_EQ(named("recording.completed").at(0)["interrupted"], true);
}

// Microphone trouble is reported and never ends the recording.
TEST_F(RecoveryTest, ARouteChangeRebuildsTheMicrophoneAndAFailedRebuildReportsItUnavailable) {
  startRecording("meeting");
  advance(1s);
  const auto microphoneEvents = [this] { return named("recording.microphone"); };
  // Two notifications close together lead to one rebuild a quarter second after the last.
  world->microphone().simulateDefaultInputChange();
  advance(100ms);
  world->microphone().simulateDefaultInputChange();
  advance(1s);
  ASSERT_EQ(microphoneEvents().size(), 2u) << transcript();
  EXPECT_EQ(microphoneEvents()[0], (Json{{"event", "recording.microphone"},
                                         {"schemaVersion", 1},
                                         {"phase", "recovering"},
                                         {"attempt", 1},
                                         {"reason", "default-input-changed"}}));
  EXPECT_EQ(microphoneEvents()[1], (Json{{"event", "recording.microphone"},
                                         {"schemaVersion", 1},
                                         {"phase", "recovered"},
                                         {"attempt", 1}}));
  EXPECT_TRUE(host->controller()->isMicrophoneAvailable());

  {
    std::lock_guard lock(world->specLock());
    world->spec().microphone.failingStarts = 1;
  }
  world->microphone().simulateDefaultInputChange();
  advance(1s);
  ASSERT_EQ(microphoneEvents().size(), 3u) << transcript();
  EXPECT_EQ(microphoneEvents()[2], (Json{{"event", "recording.microphone"},
                                         {"schemaVersion", 1},
                                         {"phase", "unavailable"},
                                         {"attempt", 1}}));
  EXPECT_FALSE(host->controller()->isMicrophoneAvailable());
  // The recording goes on, with the microphone track kept as long as the system track.
  advance(1s);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_EQ(named("recording.completed").at(0)["interrupted"], false);
  EXPECT_EQ(readTrack(microphonePath()).size(), readTrack(systemPath()).size());
}

}  // namespace
}  // namespace orvix::capture::testing
