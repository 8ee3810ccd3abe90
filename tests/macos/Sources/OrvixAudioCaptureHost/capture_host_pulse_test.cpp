// The built program without --simulate, recording from a private PulseAudio server: a 440 Hz
// tone played into its speaker, 1 kHz into its microphone. Real time, so only what needs the
// real server is here; the host's logic is tested on the simulated world.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "macos/Sources/OrvixAudioCaptureHost/track_file_support.h"
#include "support/child_process.h"
#include "support/pulse_server.h"

namespace orvix::capture::testing {
namespace {

using orvix::testing::ChildOptions;
using orvix::testing::ChildProcess;
using orvix::testing::PulseServer;
using orvix::testing::TonePlayer;
using namespace std::chrono_literals;

constexpr std::size_t kTrackRate = 16000;

// From upward zero crossings of the samples in [from, to).
double frequencyOf(const std::vector<std::int16_t>& track, std::size_t from, std::size_t to) {
  int crossings = 0;
  for (std::size_t i = from + 1; i < to; ++i) crossings += track[i - 1] < 0 && track[i] >= 0;
  return crossings * static_cast<double>(kTrackRate) / static_cast<double>(to - from);
}

std::size_t longestSilence(const std::vector<std::int16_t>& track) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (const std::int16_t sample : track) {
    run = sample == 0 ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

class CaptureHostOnPulse : public ::testing::Test {
 protected:
  CaptureHostOnPulse() {
    EXPECT_TRUE(server.warmUp("spk.monitor"));
    EXPECT_TRUE(server.warmUp("mic"));
  }

  std::unique_ptr<ChildProcess> startMeeting() {
    ChildOptions options;
    options.arguments = {"--session-id", "pulse", "--output", output, "--mode", "meeting",
                         "--microphone-enabled", "true"};
    options.environment = server.clientEnvironment();
    auto host = std::make_unique<ChildProcess>(ORVIX_AUDIO_CAPTURE_HOST_PATH, options);
    EXPECT_TRUE(host->awaitOutput("recording.started", 20s)) << host->outputSoFar();
    EXPECT_NE(host->outputSoFar().find(R"("backend":"screen-capture-kit")"), std::string::npos)
        << "a sink monitor has no process exclusion, so no process tap is offered";
    return host;
  }

  // Stops the recording; answers everything the host wrote.
  std::string stop(ChildProcess& host) {
    EXPECT_TRUE(host.sendLine(R"({"schemaVersion":1,"command":"stop"})"));
    EXPECT_TRUE(host.awaitOutput("recording.completed", 20s)) << host.outputSoFar();
    auto result = host.finish();
    EXPECT_EQ(result.exitStatus, 0);
    return result.standardOutput;
  }

  PulseServer server;
  TonePlayer speaker{server.address(), "spk", 440};
  TonePlayer microphone{server.address(), "micfeed", 1000};
  TemporaryDirectory directory;
  std::string output = directory.file("meeting.pcm");
};

TEST_F(CaptureHostOnPulse, AMeetingRecordsThePlayedToneAndTheMicrophoneAligned) {
  auto host = startMeeting();
  host->readFor(3s);
  stop(*host);

  const auto system = readTrack(output + ".system.pcm");
  const auto voice = readTrack(output + ".microphone.pcm");
  ASSERT_GE(system.size(), 3 * kTrackRate - kTrackRate / 4);
  EXPECT_EQ(system.size(), voice.size());
  // The last quarter second is left out: at the stop the shorter track is padded with silence
  // to the other's length.
  const std::size_t end = system.size() - kTrackRate / 4;
  EXPECT_NEAR(frequencyOf(system, kTrackRate, end), 440, 5);
  EXPECT_NEAR(frequencyOf(voice, kTrackRate, end), 1000, 10);
}

TEST_F(CaptureHostOnPulse, AServerKilledAndRestartedMidRecordingIsBridgedWithSilence) {
  auto host = startMeeting();
  host->readFor(1s);
  server.kill();
  server.start();
  EXPECT_TRUE(host->awaitOutput(R"("phase":"recovering")", 10s)) << host->outputSoFar();
  EXPECT_TRUE(host->awaitOutput(R"("phase":"recovered")", 20s)) << host->outputSoFar();
  host->readFor(1s);
  const std::string events = stop(*host);

  EXPECT_NE(events.find(R"("interrupted":false)"), std::string::npos) << events;
  const auto system = readTrack(output + ".system.pcm");
  // The first restart comes 2 s after the stop; the outage is written as silence.
  EXPECT_GE(longestSilence(system), 2 * kTrackRate - kTrackRate / 4);
  EXPECT_NEAR(frequencyOf(system, kTrackRate / 4, kTrackRate), 440, 5);
}

TEST_F(CaptureHostOnPulse, SwitchingTheDefaultSourceRebuildsTheMicrophone) {
  auto host = startMeeting();
  host->readFor(500ms);
  ASSERT_TRUE(server.control(
      {"load-module", "module-remap-source", "source_name=headset", "master=micfeed.monitor"}));
  ASSERT_TRUE(server.control({"set-default-source", "headset"}));
  EXPECT_TRUE(host->awaitOutput(R"("reason":"default-input-changed")", 10s)) << host->outputSoFar();
  EXPECT_TRUE(host->awaitOutput(R"("phase":"recovered")", 10s)) << host->outputSoFar();
  stop(*host);
}

}  // namespace
}  // namespace orvix::capture::testing
