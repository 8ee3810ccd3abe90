// Scenario files of the simulated audio world: strict about their keys, and the microphone's
// scheduled stalls and default-input changes read as the world will play them.
#include <gtest/gtest.h>

#include "common/time/virtual_time_source.h"
#include "platform/simulated/audio/audio_scenario.h"

namespace orvix::platform::simulated {
namespace {

std::string errorOf(std::string_view json) {
  const auto parsed = parseAudioScenario(json);
  return std::holds_alternative<AudioScenarioError>(parsed)
             ? std::get<AudioScenarioError>(parsed).message
             : "parsed";
}

TEST(AudioScenarioTest, AnUnknownOrWrongValueIsRefusedWithItsPath) {
  EXPECT_EQ(errorOf(R"({"microphone": {"stalls": [{"atMs": 1, "for": 2}]}})"),
            "microphone.stalls[0].for: unknown key");
  EXPECT_EQ(errorOf(R"({"microphone": {"defaultInputChanges": [{"atMs": 1}]}})"),
            "microphone.defaultInputChanges[0]: needs atMs and device");
  EXPECT_EQ(errorOf(R"({"processTap": {"source": {"channels": 9}}})"),
            "processTap.source.channels: must lie in 1..8");
  EXPECT_EQ(errorOf(R"({"speakers": {}})"), "speakers: unknown key");
  EXPECT_EQ(errorOf(R"({"microphone": {"source": {"driftPpm": 5000}}})"),
            "microphone.source.driftPpm: is out of range");
}

TEST(AudioScenarioTest, StallsAndInputChangesOfTheMicrophone) {
  const auto parsed = parseAudioScenario(R"({"microphone": {
      "source": {"sampleRate": 44100, "channels": 1, "bufferFrames": 512, "signal": "noise",
                 "driftPpm": -50},
      "failingRebuilds": 2,
      "stalls": [{"atMs": 1000, "forMs": 500}, {"atMs": 3000}],
      "defaultInputChanges": [{"atMs": 2000, "device": {"sampleRate": 48000, "channels": 2}}]}})");
  ASSERT_TRUE(std::holds_alternative<AudioScenario>(parsed));
  const auto& microphone = std::get<AudioScenario>(parsed).microphone;
  EXPECT_EQ(microphone.failingRebuilds, 2);
  ASSERT_EQ(microphone.stalls.size(), 2u);
  EXPECT_EQ(microphone.stalls[0].length, std::chrono::milliseconds(500));
  EXPECT_FALSE(microphone.stalls[1].length);  // never ends
  ASSERT_EQ(microphone.defaultInputChanges.size(), 1u);
  const auto& device = microphone.defaultInputChanges[0].device;
  EXPECT_EQ(device.format.sampleRate, 48000);
  EXPECT_EQ(device.format.channelCount, 2u);
  // What the new device does not say, it shares with the microphone's source.
  EXPECT_EQ(device.bufferFrames, 512u);
  EXPECT_EQ(device.signal.kind, SignalSpec::Kind::noise);
  EXPECT_EQ(device.driftPpm, -50);
}

TEST(AudioScenarioTest, ADriftingDeviceDeliversByItsOwnClock) {
  VirtualTimeSource time;
  auto queue = time.makeSerialQueue("device");
  std::uint64_t frames = 0;
  {
    SourceSpec spec{AudioFormat{48000, 1, SampleKind::float32, false},
                    SignalSpec{},
                    480,
                    std::chrono::milliseconds(2),
                    1,
                    500};
    SimulatedSource source(time, spec);
    source.start(*queue, Duration{0},
                 [&](const PcmBufferView& view) { frames += view.frameLength; });
    time.advanceBy(std::chrono::seconds(100));
    source.stop();
  }
  // 500 parts per million fast: 2,400 frames more than 100 s of the nominal rate, give or take
  // the buffer that the jitter holds back.
  EXPECT_GE(frames, 4'802'400u - 480);
  EXPECT_LE(frames, 4'802'400u);
}

}  // namespace
}  // namespace orvix::platform::simulated
