// The capture timeline and the track files: lengths, alignment, pauses, gap filling, padding
// at completion and finalisation.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "macos/Sources/OrvixAudioCaptureHost/capture_host_fixture.h"

namespace orvix::capture::testing {
namespace {

TEST(CaptureTimeline, SamplesForNanosecondsRoundsHalvesUp) {
  EXPECT_EQ(CaptureTimeline::samplesForNanoseconds(250'000'000), 4000);
  EXPECT_EQ(CaptureTimeline::samplesForNanoseconds(1), 0);
  EXPECT_EQ(CaptureTimeline::samplesForNanoseconds(31'250), 1);
  EXPECT_EQ(CaptureTimeline::samplesForNanoseconds(31'249), 0);
  EXPECT_EQ(CaptureTimeline::samplesForNanoseconds(1'000'000'000), 16000);
}

TEST(CaptureTimeline, ABufferAfterAFillEndsOnTheTarget) {
  // Short track: silence up to where the buffer must begin.
  auto fit = CaptureTimeline::fitBuffer(48000, 40000, 1600);
  EXPECT_EQ(fit.padding, 6400);
  EXPECT_EQ(fit.skipped, 0);
  // The fill went past that point: the overlapping head is dropped.
  fit = CaptureTimeline::fitBuffer(48000, 47000, 1600);
  EXPECT_EQ(fit.padding, 0);
  EXPECT_EQ(fit.skipped, 600);
  // Already at or past the target: nothing of it is kept.
  fit = CaptureTimeline::fitBuffer(48000, 50000, 1600);
  EXPECT_EQ(fit.skipped, 1600);
  // A target smaller than the buffer starts it at zero.
  fit = CaptureTimeline::fitBuffer(100, 0, 1600);
  EXPECT_EQ(fit.padding, 0);
  EXPECT_EQ(fit.skipped, 0);
}

// Index of the first run of at least `minimum` zero samples, or the size.
std::size_t firstSilence(const std::vector<std::int16_t>& track, std::size_t minimum) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < track.size(); ++i) {
    run = track[i] == 0 ? run + 1 : 0;
    if (run == minimum) return i + 1 - minimum;
  }
  return track.size();
}

TEST_F(CaptureHostTest, MeetingTracksAreEquallyLongAlignedAndAsLongAsTheRecording) {
  startRecording("meeting");
  advance(3s);
  // Both sources go quiet at the same moment and come back together.
  world->setSystemStalled(true);
  world->setMicrophoneStalled(true);
  advance(1500ms);
  world->setSystemStalled(false);
  world->setMicrophoneStalled(false);
  advance(2s);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  const auto system = readTrack(systemPath());
  const auto microphone = readTrack(microphonePath());
  ASSERT_EQ(system.size(), microphone.size());
  const auto completed = named("recording.completed").at(0);
  EXPECT_EQ(completed["byteLength"], system.size() * 2);
  EXPECT_NEAR(completed["durationMs"].get<double>(), 6500, 120);
  // The silence sits at the same samples in both tracks, within one source buffer.
  const std::size_t systemGap = firstSilence(system, 4000);
  const std::size_t microphoneGap = firstSilence(microphone, 4000);
  EXPECT_NEAR(static_cast<double>(systemGap), 3.0 * 16000 + 2000, 2000);
  EXPECT_NEAR(static_cast<double>(systemGap), static_cast<double>(microphoneGap), 1100);
}

TEST_F(CaptureHostTest, AStalledSystemSourceIsFilledBehindTheTimelineAndRefitted) {
  startRecording("meeting");
  advance(1s);
  world->setSystemStalled(true);
  advance(700ms);
  const std::int64_t beforeFill = systemSamples();
  advance(300ms);  // the first tick 750 ms after the last buffer fills
  // Filled to 250 ms (4000 samples) behind the timeline, which the live microphone follows.
  EXPECT_GT(systemSamples(), beforeFill + 4000);
  EXPECT_NEAR(static_cast<double>(systemSamples()), static_cast<double>(microphoneSamples() - 4000),
              1500);
  world->setSystemStalled(false);
  advance(200ms);
  // The returning audio is fitted so the track ends on the timeline again.
  EXPECT_NEAR(static_cast<double>(systemSamples()), static_cast<double>(microphoneSamples()), 1500);
}

TEST_F(CaptureHostTest, PausedTimeIsLeftOutOfTheRecording) {
  startRecording("meeting");
  advance(3s);
  send("pause");
  advance(300ms);
  sink.clear();
  advance(10s);
  const auto paused = named("recording.progress");
  ASSERT_EQ(paused.size(), 40u);
  for (const auto& progress : paused) {
    EXPECT_EQ(progress["elapsedMs"], paused.front()["elapsedMs"]);
    EXPECT_EQ(progress["systemLevel"], paused.front()["systemLevel"]);
    EXPECT_NE(progress["systemLevel"], 0);  // the last values are kept
  }
  send("resume");
  advance(2s);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_NEAR(named("recording.completed").at(0)["durationMs"].get<double>(), 5000, 120);
  EXPECT_EQ(readTrack(systemPath()).size(), readTrack(microphonePath()).size());
}

TEST_F(CaptureHostTest, APauseBeforeTheStartKeepsTheTimelineClosedUntilResumed) {
  makeWorld(screenCaptureOnlyScenario());
  // System audio has been accepted; the pause lands while the microphone is being set up.
  world->microphone().setEngineMadeHook([this] { send("pause"); });
  ASSERT_EQ(startHost("meeting"), std::nullopt);
  for (int i = 0; i < 200 && named("recording.started").empty(); ++i) advance(10ms);
  ASSERT_EQ(named("recording.started").size(), 1u) << transcript();
  const std::int64_t beforeStart = systemSamples();
  advance(5s);
  EXPECT_EQ(systemSamples(), beforeStart);
  send("resume");
  advance(2s);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  EXPECT_NEAR(named("recording.completed").at(0)["durationMs"].get<double>(),
              2000 + static_cast<double>(beforeStart) / 16, 120);
  EXPECT_EQ(readTrack(systemPath()).size(), readTrack(microphonePath()).size());
}

TEST_F(CaptureHostTest, ADisabledMicrophoneWritesSilenceOfTheSameLength) {
  startRecording("meeting");
  advance(2s);
  sendLine(R"({"schemaVersion":1,"command":"microphone.set","enabled":false})");
  advance(300ms);
  sink.clear();
  advance(2s);
  for (const auto& progress : named("recording.progress")) {
    EXPECT_EQ(progress["microphoneLevel"], 0);
  }
  sendLine(R"({"schemaVersion":1,"command":"microphone.set","enabled":true})");
  advance(2s);
  EXPECT_NEAR(named("recording.progress").back()["microphoneLevel"].get<double>(), 0.3, 0.01);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  const auto system = readTrack(systemPath());
  const auto microphone = readTrack(microphonePath());
  ASSERT_EQ(system.size(), microphone.size());
  // Between 2.5 and 4 s the microphone track is silent; before and after it is not.
  const auto zeros = [&](double from, double to) {
    return std::all_of(microphone.begin() + static_cast<long>(from * 16000),
                       microphone.begin() + static_cast<long>(to * 16000),
                       [](auto s) { return s == 0; });
  };
  EXPECT_TRUE(zeros(2.6, 4.1));
  EXPECT_FALSE(zeros(1.0, 1.5));
  EXPECT_FALSE(zeros(5.0, 5.5));
}

TEST_F(CaptureHostTest, AMicrophoneThatWentQuietBeforeTheStopIsPaddedToTheEnd) {
  startRecording("meeting");
  advance(3s);
  world->setMicrophoneStalled(true);
  advance(500ms);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  const auto system = readTrack(systemPath());
  EXPECT_EQ(system.size(), readTrack(microphonePath()).size());
  EXPECT_NEAR(static_cast<double>(system.size()), 3.5 * 16000, 1200);
}

TEST_F(CaptureHostTest, MediaModeCopiesTheSystemTrackToTheOutput) {
  startRecording("media", "true");
  advance(2s);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  const std::string system = readBytes(systemPath());
  EXPECT_EQ(readBytes(outputPath), system);
  EXPECT_FALSE(fileExists(microphonePath()));
  const auto completed = named("recording.completed").at(0);
  EXPECT_EQ(completed["byteLength"], system.size());
  EXPECT_EQ(completed["durationMs"], system.size() * 1000 / 2 / 16000);
}

TEST_F(CaptureHostTest, AnOutputThatCannotBeWrittenFailsWithStatusOneAndRemovesTheTracks) {
  startRecording("media", "false");
  advance(1s);
  // Something else took the output path: the copy cannot be made.
  ASSERT_EQ(::mkdir(outputPath.c_str(), 0700), 0);
  send("stop");
  EXPECT_EQ(runUntilExit(), 1);
  EXPECT_EQ(milestones(), (std::vector<std::string>{"recording.started", "recording.failed"}));
  EXPECT_EQ(named("recording.failed").at(0)["code"], "CAPTURE_FAILED");
  EXPECT_FALSE(fileExists(systemPath()));
}

// Finalisation on prepared track files, without recording.
class FinalizationTest : public CaptureHostTest {
 protected:
  std::unique_ptr<CaptureController> controllerFor(bool meeting) {
    makeWorld(screenCaptureOnlyScenario());
    Arguments arguments{"s", outputPath, meeting, meeting};
    return CaptureController::create(arguments, world->audio(), time, events, [](int) {});
  }
  static void appendBytes(const std::string& path, std::size_t count) {
    std::ofstream file(path, std::ios::binary | std::ios::app);
    file << std::string(count, '\x01');
  }

  CaptureEvents events{sink};
};

TEST_F(FinalizationTest, MediaRecordingOfAHundredSeconds) {
  auto controller = controllerFor(false);
  controller->systemWriter().appendSilence(1'600'000);
  controller->systemWriter().close();
  const auto result = controller->finalizeCapture();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->durationMs, 100'000);
  EXPECT_EQ(result->byteLength, 3'200'000);
  EXPECT_EQ(readBytes(outputPath), readBytes(systemPath()));
}

TEST_F(FinalizationTest, MeetingReportsTheLongerTrackAndWritesNoOutput) {
  auto controller = controllerFor(true);
  controller->systemWriter().appendSilence(160'000);
  controller->microphoneWriter()->appendSilence(160'001);
  controller->systemWriter().close();
  controller->microphoneWriter()->close();
  const auto result = controller->finalizeCapture();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->byteLength, 320'002);
  EXPECT_EQ(result->durationMs, 10'000);
  EXPECT_FALSE(fileExists(outputPath));
}

TEST_F(FinalizationTest, EmptyOddOrFailedTracksAreRefused) {
  auto controller = controllerFor(false);
  controller->systemWriter().close();
  EXPECT_FALSE(controller->finalizeCapture());  // no samples at all
  appendBytes(systemPath(), 3);
  EXPECT_FALSE(controller->finalizeCapture());  // changed from outside to an odd size
  appendBytes(systemPath(), 1);
  EXPECT_TRUE(controller->finalizeCapture());
  controller->removeCaptureFiles();
  EXPECT_FALSE(fileExists(systemPath()));
  EXPECT_FALSE(fileExists(outputPath));
}

TEST_F(FinalizationTest, TracksUpToFiveGibibytesAreAcceptedAndLongerOnesRefused) {
  constexpr std::int64_t fiveGibibytes = 5'368'709'120;
  auto controller = controllerFor(true);
  controller->systemWriter().close();
  controller->microphoneWriter()->close();
  // Sparse files: the size is what counts, no disk space is used.
  ASSERT_EQ(::truncate(systemPath().c_str(), fiveGibibytes), 0);
  auto result = controller->finalizeCapture();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->byteLength, fiveGibibytes);
  EXPECT_EQ(result->durationMs, 167'772'160);
  ASSERT_EQ(::truncate(microphonePath().c_str(), fiveGibibytes + 2), 0);
  EXPECT_FALSE(controller->finalizeCapture());  // the longer track decides
  controller->removeCaptureFiles();
}

TEST_F(FinalizationTest, ALostBackendBeforeAnySampleFailsAndDiscardsWithStatusZero) {
  makeWorld(screenCaptureOnlyScenario());
  std::atomic<int> status{-1};
  auto controller =
      CaptureController::create(Arguments{"s", outputPath, true, true}, world->audio(), time,
                                events, [&status](int code) { status = code; });
  ASSERT_TRUE(controller);
  controller->finishAfterCaptureInterruption();
  for (int i = 0; i < 100 && status < 0; ++i) advance(100ms);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(transcript(),
            R"({"code":"CAPTURE_FAILED","event":"recording.failed","schemaVersion":1})"
            "\n");
  EXPECT_FALSE(fileExists(systemPath()));
  EXPECT_FALSE(fileExists(microphonePath()));
}

TEST_F(FinalizationTest, TheFirstMicrophoneBufferEndsWhereTheSystemTrackEnds) {
  auto controller = controllerFor(true);
  const std::vector<float> loud(40'000, 0.5f);
  controller->timeline().appendSystemAudio(loud.data(), 40'000);
  controller->timeline().appendMicrophoneAudio(loud.data(), 1'000);
  EXPECT_EQ(controller->microphoneWriter()->sampleCount(), 40'000);
  // Only an empty track is aligned: later buffers follow on.
  controller->timeline().appendMicrophoneAudio(loud.data(), 1'000);
  EXPECT_EQ(controller->microphoneWriter()->sampleCount(), 41'000);
  controller->microphoneWriter()->close();
  const auto microphone = readTrack(microphonePath());
  EXPECT_EQ(microphone[38'999], 0);
  EXPECT_NE(microphone[39'000], 0);
}

TEST_F(FinalizationTest, TheFirstMicrophoneBuffersAlignmentSilenceGoesOutASecondAtATime) {
  auto controller = controllerFor(true);
  std::vector<std::size_t> pieces;
  controller->microphoneWriter()->setWriteObserver(
      [&pieces](std::size_t bytes) { pieces.push_back(bytes); });
  const std::vector<float> loud(50'000, 0.5f);
  controller->timeline().appendSystemAudio(loud.data(), 50'000);
  controller->timeline().appendMicrophoneAudio(loud.data(), 1'000);
  // 49,000 samples of lead: three full seconds and the rest, then the buffer itself. Left to
  // the writer alone the lead would go out as 32,768 + 16,232.
  EXPECT_EQ(pieces, (std::vector<std::size_t>{32'000, 32'000, 32'000, 2'000, 2'000}));
  EXPECT_EQ(controller->microphoneWriter()->sampleCount(), 50'000);
}

}  // namespace
}  // namespace orvix::capture::testing
