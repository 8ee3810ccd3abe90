// System-audio start-up: the process tap first, the screen-capture fallback with its two
// attempts, permissions, and the microphone at start-up.
#include <gtest/gtest.h>

#include "macos/Sources/OrvixAudioCaptureHost/capture_host_fixture.h"

namespace orvix::capture::testing {
namespace {

AudioScenario withTap() {
  AudioScenario scenario;
  scenario.processTap.available = true;
  return scenario;
}

class StartupTest : public CaptureHostTest {
 protected:
  Json started() {
    const auto events = named("recording.started");
    return events.empty() ? Json() : events.front();
  }
  // Virtual time from the host's start to "recording.started".
  Duration startRecordingTimed(std::string_view mode, std::string_view microphone = "true") {
    const Duration begin = time.now();
    EXPECT_EQ(startHost(mode, microphone), std::nullopt);
    while (named("recording.started").empty() && !exitStatus() && time.now() - begin < 10s) {
      advance(1ms);
    }
    return time.now() - begin;
  }
};

TEST_F(StartupTest, AWorkingProcessTapIsPreferred) {
  makeWorld(withTap());
  startRecordingTimed("meeting");
  EXPECT_EQ(started()["backend"], "core-audio-process-tap");
  EXPECT_EQ(started()["fallback"], false);
  EXPECT_EQ(started()["microphoneAvailable"], true);
  EXPECT_EQ(world->counters().streamsMade, 0);
}

TEST_F(StartupTest, ASilentTapFallsBackToScreenCaptureAfterOneSecond) {
  auto scenario = withTap();
  scenario.processTap.deliversAudio = false;
  makeWorld(scenario);
  const Duration took = startRecordingTimed("media", "false");
  EXPECT_EQ(started()["backend"], "screen-capture-kit");
  EXPECT_EQ(started()["fallback"], true);
  EXPECT_EQ(started()["microphoneAvailable"], false);
  EXPECT_EQ(world->counters().tapsDestroyed, 1);
  EXPECT_GE(took, 1s);
  EXPECT_LT(took, 1200ms);
}

TEST_F(StartupTest, AFailingTapStartFallsBackAtOnce) {
  auto scenario = withTap();
  scenario.processTap.failingStep = ProcessTapStep::startDevice;
  makeWorld(scenario);
  EXPECT_LT(startRecordingTimed("media", "false"), 200ms);
  EXPECT_EQ(started()["backend"], "screen-capture-kit");
  EXPECT_EQ(started()["fallback"], true);
}

TEST_F(StartupTest, WithoutTapsScreenCaptureIsUsedWithoutFallback) {
  startRecordingTimed("media", "true");
  EXPECT_EQ(started()["backend"], "screen-capture-kit");
  EXPECT_EQ(started()["fallback"], false);
  EXPECT_EQ(started()["microphoneAvailable"], false);  // media mode never records it
  const auto configuration = world->lastConfiguration();
  ASSERT_TRUE(configuration);
  EXPECT_TRUE(configuration->capturesAudio);
  EXPECT_FALSE(configuration->excludesCurrentProcessAudio);
  EXPECT_EQ(configuration->sampleRate, 16000);
  EXPECT_EQ(configuration->channelCount, 1);
  EXPECT_EQ(configuration->width, 2);
  EXPECT_EQ(configuration->height, 2);
  EXPECT_EQ(configuration->minimumFrameIntervalValue, 1);
  EXPECT_EQ(configuration->minimumFrameIntervalTimescale, 1);
  EXPECT_EQ(configuration->queueDepth, 1);
  EXPECT_FALSE(configuration->showsCursor);
  EXPECT_EQ(configuration->display.displayId, 1u);
}

TEST_F(StartupTest, ASilentFirstStreamIsRetriedAfterAQuarterSecond) {
  auto scenario = screenCaptureOnlyScenario();
  scenario.screenCapture.accessGranted = false;  // granted when asked
  scenario.screenCapture.silentStarts = 1;
  makeWorld(scenario);
  const Duration took = startRecordingTimed("media", "false");
  EXPECT_EQ(started()["backend"], "screen-capture-kit");
  EXPECT_EQ(world->counters().streamsMade, 2);
  EXPECT_EQ(world->counters().accessRequests, 1);  // only the first attempt asks
  // One second of waiting, a quarter second of pause, then the second stream's first audio.
  EXPECT_GE(took, 1250ms);
  EXPECT_LT(took, 1400ms);
}

TEST_F(StartupTest, PermissionDeniedFailsAtOnceAndCancels) {
  auto scenario = screenCaptureOnlyScenario();
  scenario.screenCapture.accessGranted = false;
  scenario.screenCapture.grantOnRequest = false;
  makeWorld(scenario);
  startRecordingTimed("media", "false");
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_EQ(transcript(),
            R"({"code":"SCREEN_PERMISSION_DENIED","event":"recording.failed","schemaVersion":1})"
            "\n");
  EXPECT_EQ(world->counters().accessRequests, 1);
  EXPECT_EQ(world->counters().streamsMade, 0);
  EXPECT_FALSE(fileExists(systemPath()));
  EXPECT_FALSE(fileExists(outputPath));
}

struct FailingStart {
  const char* name;
  void (*configure)(AudioScenario&);
};

class FailedStartupTest : public StartupTest, public ::testing::WithParamInterface<FailingStart> {};

TEST_P(FailedStartupTest, TwoFailedAttemptsFailWithCaptureFailedAndRemoveTheFiles) {
  auto scenario = screenCaptureOnlyScenario();
  GetParam().configure(scenario);
  makeWorld(scenario);
  startRecordingTimed("meeting");
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_EQ(transcript(),
            R"({"code":"CAPTURE_FAILED","event":"recording.failed","schemaVersion":1})"
            "\n");
  EXPECT_FALSE(fileExists(systemPath()));
  EXPECT_FALSE(fileExists(microphonePath()));
  EXPECT_EQ(world->counters().accessRequests, 0);  // access was already granted
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FailedStartupTest,
    ::testing::Values(
        FailingStart{"NoDisplay", [](AudioScenario& s) { s.screenCapture.displayCount = 0; }},
        FailingStart{"NoContent",
                     [](AudioScenario& s) { s.screenCapture.shareableContentFails = true; }},
        FailingStart{"StartFails", [](AudioScenario& s) { s.screenCapture.failingStarts = 2; }},
        FailingStart{"NoAudio", [](AudioScenario& s) { s.screenCapture.silentStarts = 2; }}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(StartupTest, AStopWhileStartingFailsTwiceWithStatusOneWhenNothingWasRecorded) {
  auto scenario = screenCaptureOnlyScenario();
  scenario.screenCapture.silentStarts = 2;
  makeWorld(scenario);
  ASSERT_EQ(startHost("media", "false"), std::nullopt);
  advance(500ms);
  send("stop");
  EXPECT_EQ(runUntilExit(), 1);
  EXPECT_EQ(transcript(),
            R"({"code":"CAPTURE_FAILED","event":"recording.failed","schemaVersion":1})"
            "\n"
            R"({"code":"CAPTURE_FAILED","event":"recording.failed","schemaVersion":1})"
            "\n");
  EXPECT_FALSE(fileExists(systemPath()));
}

TEST_F(StartupTest, AStopDuringStartUpAfterAudioWasWrittenFailsThenCompletesAndKeepsTheTracks) {
  makeWorld(screenCaptureOnlyScenario());
  // System audio is accepted and written; the stop lands while the microphone is being set up.
  world->microphone().setEngineMadeHook([this] { send("stop"); });
  ASSERT_EQ(startHost("meeting"), std::nullopt);
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_EQ(milestones(), (std::vector<std::string>{"recording.failed", "recording.completed"}))
      << transcript();
  EXPECT_EQ(named("recording.failed").at(0)["code"], "CAPTURE_FAILED");
  const Json completed = named("recording.completed").at(0);
  EXPECT_EQ(completed["interrupted"], false);
  // Both tracks are kept, equally long and holding what was written; there is no output file.
  const std::size_t systemBytes = readBytes(systemPath()).size();
  EXPECT_GT(systemBytes, 0u);
  EXPECT_EQ(readBytes(microphonePath()).size(), systemBytes);
  EXPECT_EQ(completed["byteLength"], systemBytes);
  EXPECT_EQ(completed["durationMs"], systemBytes * 1000 / 2 / 16000);
  EXPECT_FALSE(fileExists(outputPath));
}

class PausedStartupTest : public StartupTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PausedStartupTest, AudioRefusedWhilePausedDoesNotCompleteStartUp) {
  makeWorld(GetParam() ? withTap() : screenCaptureOnlyScenario());
  ASSERT_EQ(startHost("media", "false"), std::nullopt);
  send("pause");
  advance(500ms);  // the backend delivers all along, but nothing is written
  send("stop");
  EXPECT_EQ(runUntilExit(), 1);
  EXPECT_EQ(milestones(), (std::vector<std::string>{"recording.failed", "recording.failed"}));
  EXPECT_FALSE(fileExists(systemPath()));
}

INSTANTIATE_TEST_SUITE_P(TapOrScreenCapture, PausedStartupTest, ::testing::Bool());

TEST_F(StartupTest, AStopBeforeTheTapIsAcceptedRefusesItAndFails) {
  auto scenario = withTap();
  makeWorld(scenario);
  ASSERT_EQ(startHost("media", "false"), std::nullopt);
  send("stop");
  EXPECT_EQ(runUntilExit(), 1);  // nothing was written before the stop
  EXPECT_EQ(milestones(), (std::vector<std::string>{"recording.failed", "recording.failed"}));
  EXPECT_EQ(world->counters().tapsDestroyed, 1);
  EXPECT_EQ(world->counters().streamsMade, 0);
}

TEST_F(StartupTest, MicrophoneWithoutAuthorizationFailsTheMeetingEvenWhenDisabled) {
  auto scenario = screenCaptureOnlyScenario();
  scenario.microphone.authorization = "not-determined";
  makeWorld(scenario);
  startRecordingTimed("meeting", "false");
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_EQ(
      transcript(),
      R"({"code":"MICROPHONE_PERMISSION_DENIED","event":"recording.failed","schemaVersion":1})"
      "\n");
  EXPECT_GE(world->counters().streamStops, 1);  // system audio had started and was stopped
  EXPECT_EQ(world->counters().enginesMade, 0);
  EXPECT_FALSE(fileExists(systemPath()));
  EXPECT_FALSE(fileExists(microphonePath()));
}

TEST_F(StartupTest, AMicrophoneThatCannotStartLeavesASilentAlignedTrack) {
  auto scenario = screenCaptureOnlyScenario();
  scenario.microphone.hasInputDevice = false;
  makeWorld(scenario);
  startRecordingTimed("meeting", "true");
  EXPECT_EQ(started()["microphoneAvailable"], false);
  EXPECT_FALSE(host->controller()->isMicrophoneEnabled());
  // "microphone.set" true cannot switch on what is not there.
  sendLine(R"({"schemaVersion":1,"command":"microphone.set","enabled":true})");
  EXPECT_FALSE(host->controller()->isMicrophoneEnabled());
  for (int i = 0; i < 12; ++i) {
    advance(250ms);
    EXPECT_EQ(microphoneSamples(), systemSamples());
  }
  for (const auto& progress : named("recording.progress")) {
    EXPECT_EQ(progress["microphoneLevel"], 0);
  }
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  const auto microphone = readTrack(microphonePath());
  EXPECT_EQ(microphone.size(), readTrack(systemPath()).size());
  EXPECT_TRUE(std::all_of(microphone.begin(), microphone.end(), [](auto s) { return s == 0; }));
}

}  // namespace
}  // namespace orvix::capture::testing
