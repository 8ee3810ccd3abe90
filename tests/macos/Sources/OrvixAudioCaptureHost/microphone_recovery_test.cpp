// The microphone's recovery, set up from scenario files. Its watchdog counts only buffers the
// current engine delivered: the silence the timeline pads onto an available microphone's track,
// or mirrors onto an unavailable one's, keeps a track growing while nothing is heard. The
// screen-capture stream's outages last 2, 5 and 15 s in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "macos/Sources/OrvixAudioCaptureHost/capture_host_fixture.h"
#include "platform/simulated/audio/tick_reader.h"

namespace orvix::capture::testing {
namespace {

class MicrophoneRecoveryTest : public CaptureHostTest {
 protected:
  struct Heard {
    std::string event;  // "phase attempt [reason]"
    std::int64_t atMs;  // since the world was made
  };

  void makeWorldFrom(const std::string& json) {
    auto parsed = platform::simulated::parseAudioScenario(json);
    ASSERT_TRUE(std::holds_alternative<AudioScenario>(parsed))
        << std::get<platform::simulated::AudioScenarioError>(parsed).message;
    makeWorld(std::get<AudioScenario>(std::move(parsed)));
  }

  std::int64_t nowMs() const { return (time.now() - VirtualTimeSource::kStartUptime) / 1ms; }

  // Runs until `untilMs` since the world was made, noting when each microphone event came.
  void runUntil(std::int64_t untilMs) {
    while (nowMs() < untilMs) {
      advance(10ms);
      const auto events = named("recording.microphone");
      for (std::size_t i = heard.size(); i < events.size(); ++i) {
        std::string line =
            events[i]["phase"].get<std::string>() + " " + events[i]["attempt"].dump();
        // Appended, not concatenated: GCC 12 at -O3 warns falsely on `" " + std::string`.
        if (events[i].contains("reason"))
          line.append(" ").append(events[i]["reason"].get<std::string>());
        heard.push_back({line, nowMs()});
      }
    }
  }

  std::vector<std::string> heardEvents() const {
    std::vector<std::string> lines;
    for (const auto& item : heard) lines.push_back(item.event);
    return lines;
  }

  // Stops, and checks that the recording ran to its end with both tracks of one length.
  void stopAndCheckTracks() {
    send("stop");
    ASSERT_EQ(runUntilExit(), 0);
    EXPECT_EQ(named("recording.completed").at(0)["interrupted"], false);
    EXPECT_EQ(readTrack(microphonePath()).size(), readTrack(systemPath()).size());
  }

  std::vector<Heard> heard;
};

// The route change at 2.95 s fails, so that the microphone counts as unavailable from 3.2 s on
// and its track mirrors the system track; outages of the system stream from 1 s (2 s long),
// 3.5 s (5 s) and 9 s (15 s) hold that track still at times, which must not matter either.
TEST_F(MicrophoneRecoveryTest, AQuietEngineIsRebuiltEveryTwoSecondsThreeTimesThenGivenUp) {
  // The rebuilt engines deliver nothing until 25 s; a route change at 30 s revives the microphone.
  makeWorldFrom(R"({"processTap": {"available": false},
      "screenCapture": {"stops": [{"atMs": 1000}, {"atMs": 3500}, {"atMs": 9000}]},
      "microphone": {"failingRebuilds": 1, "stalls": [{"atMs": 3000, "forMs": 22000}],
                     "defaultInputChanges": [{"atMs": 2950, "device": {}},
                                             {"atMs": 30000, "device": {}}]}})");
  startRecording("meeting");
  runUntil(29000);
  EXPECT_EQ(heardEvents(), (std::vector<std::string>{"unavailable 1", "recovering 1 stalled",
                                                     "recovering 2 stalled", "recovering 3 stalled",
                                                     "unavailable 3"}));
  ASSERT_EQ(heard.size(), 5u);
  EXPECT_GE(heard[1].atMs, 3000 + 2000);
  EXPECT_LE(heard[1].atMs, 3000 + 2250 + 10);
  // A rebuild that produced nothing for 2 s is given up.
  for (std::size_t i = 2; i < heard.size(); ++i) {
    EXPECT_EQ(heard[i].atMs - heard[i - 1].atMs, 2000) << heard[i].event;
  }
  EXPECT_FALSE(host->controller()->isMicrophoneAvailable());

  runUntil(31000);
  EXPECT_EQ(heardEvents().size(), 7u);
  EXPECT_EQ(heard.at(5).event, "recovering 1 default-input-changed");
  EXPECT_EQ(heard.at(6).event, "recovered 1");
  EXPECT_TRUE(host->controller()->isMicrophoneAvailable());
  stopAndCheckTracks();
}

TEST_F(MicrophoneRecoveryTest, AnEngineThatIsHeardAgainEarnsAFreshCountOfRebuilds) {
  // Quiet from 3 to 8 s (two rebuilds, the second heard at 8 s), and for good from 14 s.
  makeWorldFrom(R"({"processTap": {"available": false},
      "microphone": {"failingRebuilds": 1,
                     "stalls": [{"atMs": 3000, "forMs": 5000}, {"atMs": 14000}],
                     "defaultInputChanges": [{"atMs": 2950, "device": {}}]}})");
  startRecording("meeting");
  runUntil(30000);
  EXPECT_EQ(heardEvents(),
            (std::vector<std::string>{"unavailable 1", "recovering 1 stalled",
                                      "recovering 2 stalled", "recovered 1", "recovering 1 stalled",
                                      "recovering 2 stalled", "recovering 3 stalled",
                                      "unavailable 3"}));
  stopAndCheckTracks();
}

TEST_F(MicrophoneRecoveryTest, AStalledRebuildThatFailsIsReportedAndTheNextOneRecovers) {
  // The route change's rebuild and the first stalled one fail; the second starts and delivers.
  makeWorldFrom(R"({"processTap": {"available": false},
      "screenCapture": {"stops": [{"atMs": 1000}, {"atMs": 3500}]},
      "microphone": {"failingRebuilds": 2,
                     "defaultInputChanges": [{"atMs": 2950, "device": {}}]}})");
  startRecording("meeting");
  runUntil(9000);
  EXPECT_EQ(heardEvents(), (std::vector<std::string>{"unavailable 1", "unavailable 1",
                                                     "recovering 2 stalled", "recovered 1"}));
  EXPECT_TRUE(host->controller()->isMicrophoneAvailable());
  // The microphone is heard again.
  sink.clear();
  advance(1s);
  EXPECT_GT(named("recording.progress").back()["microphoneLevel"].get<double>(), 0);
  stopAndCheckTracks();
}

// The timeline pads the track of a quiet microphone every tick, so the track alone never shows
// that the device is gone: the recording ended with seconds of zeros and no word of it.
TEST_F(MicrophoneRecoveryTest, ADeadMicrophoneIsRebuiltThenReportedUnavailable) {
  makeWorldFrom(R"({"processTap": {"available": true},
      "microphone": {"source": {"sampleRate": 44100, "channels": 1},
                     "stalls": [{"atMs": 1500}]}})");
  startRecording("meeting");
  runUntil(10500);
  EXPECT_EQ(heardEvents(), (std::vector<std::string>{"recovering 1 stalled", "recovering 2 stalled",
                                                     "recovering 3 stalled", "unavailable 3"}));
  ASSERT_EQ(heard.size(), 4u);
  EXPECT_GE(heard[0].atMs, 1500 + 2000);
  EXPECT_LE(heard[0].atMs, 1500 + 2250 + 10);
  EXPECT_EQ(world->counters().enginesMade, 4);
  EXPECT_FALSE(host->controller()->isMicrophoneAvailable());
  stopAndCheckTracks();
}

// A burst of notices rebuilds once, a quarter second after the last. A later route change while
// that rebuild still waits for its first buffer (the new device is quiet at first) is the one
// that counts: it rebuilds again instead of being dropped for the rest of the meeting.
TEST_F(MicrophoneRecoveryTest, ARouteBurstRebuildsOnceAndALaterChangeSupersedesAWaitingRebuild) {
  makeWorldFrom(R"({"processTap": {"available": true},
      "microphone": {"source": {"sampleRate": 44100, "channels": 1},
                     "stalls": [{"atMs": 2100, "forMs": 1400}],
                     "defaultInputChanges": [
                       {"atMs": 2000, "device": {"sampleRate": 48000, "channels": 2}},
                       {"atMs": 2090, "device": {"sampleRate": 48000, "channels": 2}},
                       {"atMs": 3000, "device": {"sampleRate": 44100, "channels": 1}}]}})");
  startRecording("meeting");
  runUntil(5000);
  EXPECT_EQ(heardEvents(), (std::vector<std::string>{"recovering 1 default-input-changed",
                                                     "recovering 1 default-input-changed",
                                                     "recovered 1"}));
  ASSERT_EQ(heard.size(), 3u);
  EXPECT_GE(heard[0].atMs, 2090 + 250);
  EXPECT_LE(heard[0].atMs, 2090 + 250 + 10);
  EXPECT_GE(heard[1].atMs, 3000 + 250);
  EXPECT_LE(heard[1].atMs, 3000 + 250 + 10);
  EXPECT_GE(heard[2].atMs, 3500);
  EXPECT_EQ(world->counters().enginesMade, 3);
  EXPECT_TRUE(host->controller()->isMicrophoneAvailable());
  stopAndCheckTracks();
}

// Both sources tick at every whole second of the machine's clock, so where a tick lands in each
// file says how far the tracks disagree on time there: after each of three route changes (to
// another format and back), after a stall that the timeline padded over, and with the two
// devices' clocks 400 parts per million apart (some 2 ms between the route changes). Placed by
// arrival instead, the microphone's ticks were off by 9 ms from the start, 13 to 38 ms after
// the rebuilds and 5 ms after the stall.
TEST_F(MicrophoneRecoveryTest, RebuildsAndStallsLeaveTheTracksAlignedOnTheFiles) {
  makeWorldFrom(R"({"processTap": {"available": true,
      "source": {"sampleRate": 48000, "channels": 2, "bufferFrames": 480, "jitterMs": 2,
                 "signal": "ticks", "frequency": 1, "amplitude": 0.5, "driftPpm": -150}},
      "microphone": {
        "source": {"sampleRate": 44100, "channels": 1, "bufferFrames": 1024, "jitterMs": 3,
                   "signal": "ticks", "frequency": 1, "amplitude": 0.3, "driftPpm": 250},
        "stalls": [{"atMs": 10300, "forMs": 1400}],
        "defaultInputChanges": [
          {"atMs": 2400, "device": {"sampleRate": 48000, "channels": 2}},
          {"atMs": 5400, "device": {"sampleRate": 44100, "channels": 1}},
          {"atMs": 7400, "device": {"sampleRate": 48000, "channels": 1}}]}})");
  startRecording("meeting");
  runUntil(14500);
  EXPECT_EQ(heardEvents().size(), 6u);
  stopAndCheckTracks();
  const auto system = platform::simulated::tickOnsetsInTrack(systemPath());
  const auto microphone = platform::simulated::tickOnsetsInTrack(microphonePath());
  ASSERT_TRUE(system && microphone);
  const auto alignment = platform::simulated::tickAlignment(*system, *microphone);
  EXPECT_GE(alignment.pairs, 11u);
  EXPECT_LE(alignment.largestMilliseconds, 1.0);
}

// Real capture stamps wobble: here each buffer's stamp on both devices is off by up to 3 ms either
// way, while the samples themselves come on time and the clocks agree. In the microphone's file
// the ticks must stay a second (16000 samples) apart, give or take the few samples by which the
// converter's steered rate stretches a second while it works off the first placement's error;
// any other spacing is silence put in or samples cut out between them. The tracks must still
// agree on the ticks' moments. Placed by each stamp, all but one spacing were off, by 21 to 117
// samples, and 5 of 20 ticks were cut.
TEST_F(MicrophoneRecoveryTest, StampsThatJitterNeitherPadNorCutTheMicrophoneTrack) {
  makeWorldFrom(R"({"processTap": {"available": true,
      "source": {"sampleRate": 48000, "channels": 2, "bufferFrames": 480, "jitterMs": 2,
                 "stampJitterUs": 3000, "seed": 7,
                 "signal": "ticks", "frequency": 1, "amplitude": 0.5}},
      "microphone": {
        "source": {"sampleRate": 48000, "channels": 1, "bufferFrames": 480, "jitterMs": 2,
                   "stampJitterUs": 3000, "seed": 11,
                   "signal": "ticks", "frequency": 1, "amplitude": 0.3}}})");
  startRecording("meeting");
  runUntil(20000);
  stopAndCheckTracks();
  const auto system = platform::simulated::tickOnsetsInTrack(systemPath());
  const auto microphone = platform::simulated::tickOnsetsInTrack(microphonePath());
  ASSERT_TRUE(system && microphone);
  EXPECT_GE(microphone->size(), 19u);
  std::vector<std::int64_t> spacings;
  for (std::size_t i = 1; i < microphone->size(); ++i) {
    const std::int64_t spacing = (*microphone)[i] - (*microphone)[i - 1];
    if (std::llabs(spacing - 16000) > 4) spacings.push_back(spacing);
  }
  EXPECT_LE(spacings.size(), 1u) << ::testing::PrintToString(spacings);
  const auto alignment = platform::simulated::tickAlignment(*system, *microphone);
  ASSERT_GE(alignment.pairs, 19u);
  // The first second places the microphone by one stamp of each track; the trend then moves it
  // to the stamps' average once, where it stays.
  for (std::size_t i = 1; i < alignment.pairs; ++i) {
    EXPECT_LE(std::abs(alignment.offsetsMilliseconds[i]), 1.0) << "tick " << i;
  }
}

// An hour of clocks that disagree: the microphone's 300 parts per million fast, the system
// device's 120 slow, and every stamp wobbles by up to 3 ms. Held by inserting or cutting samples,
// the microphone got a run of zeros or lost a few samples about every second, and the system
// track, never held to the clock at all, fell 0.43 s behind it. Steered by the converters' rates,
// every tick in both files comes a second after the last to within a few samples (a spliced run
// is 5 or more), once the first placement has been settled, and from the tenth second on (the
// drift learnt) both tracks hold each tick to within 1 ms of the clock's moment.
TEST_F(MicrophoneRecoveryTest, DriftingClocksAreFollowedWithoutSplicesForAnHour) {
  makeWorldFrom(R"({"processTap": {"available": true,
      "source": {"sampleRate": 48000, "channels": 2, "bufferFrames": 2400, "jitterMs": 2,
                 "stampJitterUs": 3000, "seed": 5, "driftPpm": -120,
                 "signal": "ticks", "frequency": 1, "amplitude": 0.5}},
      "microphone": {
        "source": {"sampleRate": 44100, "channels": 1, "bufferFrames": 1024, "jitterMs": 2,
                   "stampJitterUs": 3000, "seed": 9, "driftPpm": 300,
                   "signal": "ticks", "frequency": 1, "amplitude": 0.3}}})");
  startRecording("meeting");
  constexpr std::size_t kSeconds = 3600;
  constexpr std::size_t kLearnt = 10;
  advance(std::chrono::seconds(kSeconds));
  EXPECT_TRUE(named("recording.microphone").empty());
  stopAndCheckTracks();
  const auto system = platform::simulated::tickOnsetsInTrack(systemPath());
  const auto microphone = platform::simulated::tickOnsetsInTrack(microphonePath());
  ASSERT_TRUE(system && microphone);
  ASSERT_GE(system->size(), kSeconds - 2);
  for (const auto* track : {&*system, &*microphone}) {
    std::int64_t worst = 0;
    for (std::size_t i = 2; i < track->size(); ++i) {
      worst = std::max<std::int64_t>(worst, std::llabs((*track)[i] - (*track)[i - 1] - 16000));
    }
    EXPECT_LE(worst, 4) << (track == &*system ? "system" : "microphone");
  }
  // The system track on the clock: each tick as many seconds from the first as it is later.
  double worstOffClock = 0;
  for (std::size_t i = kLearnt; i < system->size(); ++i) {
    const auto since = static_cast<double>((*system)[i] - system->front());
    worstOffClock = std::max(worstOffClock, std::abs(since - std::round(since / 16000) * 16000));
  }
  EXPECT_LE(worstOffClock / 16, 1.0);
  const auto alignment = platform::simulated::tickAlignment(*system, *microphone);
  ASSERT_GE(alignment.pairs, kSeconds - 3);
  double worstApart = 0;
  for (std::size_t i = kLearnt; i < alignment.pairs; ++i) {
    worstApart = std::max(worstApart, std::abs(alignment.offsetsMilliseconds[i]));
  }
  EXPECT_LE(worstApart, 1.0);
}

}  // namespace
}  // namespace orvix::capture::testing
