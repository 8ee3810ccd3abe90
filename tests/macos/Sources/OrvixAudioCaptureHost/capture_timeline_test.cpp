// The capture timeline on its own: sources generated on virtual time that stall, pause and
// suffer outages, and verifiers that hold the tracks to the unpaused recording time.
#include "OrvixAudioCaptureHost/capture_timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "common/time/virtual_time_source.h"
#include "macos/Sources/OrvixAudioCaptureHost/track_file_support.h"

namespace orvix::capture::testing {
namespace {

using namespace std::chrono_literals;

// Sources deliver 10 ms buffers exactly on time, so a track that is kept whole ends exactly on
// the recording time after every buffer.
constexpr std::int64_t kBufferSamples = 160;
constexpr std::int64_t kStepsPerTick = 25;  // progress every 250 ms

enum class Stretch { live, systemStall, microphoneStall, pause, outage };

struct Span {
  Stretch kind;
  int steps;
};

// A minute of recording in random stretches. Stalls last at least a second, so a progress tick
// always finds them; shorter ones would leave buffers missing that no fill can know of.
std::vector<Span> generateSchedule(unsigned seed) {
  std::mt19937 random(seed);
  // The engine's output is the same everywhere; a distribution's is not.
  const auto steps = [&random](int from, int to) {
    return from + static_cast<int>(random() % static_cast<unsigned>(to - from + 1));
  };
  std::vector<Span> schedule;
  for (int total = 0; total < 6000;) {
    const auto kind = static_cast<Stretch>(steps(0, 4));
    const Span span{kind, kind == Stretch::live     ? steps(20, 300)
                          : kind == Stretch::pause  ? steps(10, 200)
                          : kind == Stretch::outage ? steps(50, 500)
                                                    : steps(100, 300)};
    schedule.push_back(span);
    total += span.steps;
  }
  return schedule;
}

class CaptureTimelineTest : public ::testing::TestWithParam<unsigned> {
 protected:
  void make(bool meeting) {
    flags.microphoneEnabled = meeting;
    flags.microphoneAvailable = meeting;
    flags.microphoneInitializationComplete = meeting;
    timeline = std::make_unique<CaptureTimeline>(
        PcmWriter::create(directory.file("system.pcm")),
        meeting ? PcmWriter::create(directory.file("microphone.pcm")) : nullptr, time.clock(),
        stateLock, flags);
    timeline->start();
  }

  std::uint64_t now() const { return time.clock().uptimeNanoseconds(); }

  void setPaused(bool paused) {
    std::lock_guard lock(stateLock);
    paused ? timeline->pauseLocked(now()) : timeline->resumeLocked(now());
    flags.paused = paused;
  }

  void openOutage() {
    std::lock_guard lock(stateLock);
    timeline->openSystemOutageLocked(now());
  }

  void closeOutage() {
    const auto tracks = timeline->lockTracks();
    std::uint64_t gap = 0;
    {
      std::lock_guard lock(stateLock);
      gap = timeline->systemOutageNanosecondsLocked(now());
      timeline->closeSystemOutageLocked();
    }
    timeline->appendSystemSilence(tracks, CaptureTimeline::samplesForNanoseconds(gap));
  }

  // Runs the schedule and checks the tracks along the way.
  void record(const std::vector<Span>& schedule, bool meeting) {
    std::int64_t step = 0;
    for (const Span& span : schedule) {
      if (span.kind == Stretch::pause) setPaused(true);
      if (span.kind == Stretch::outage) openOutage();
      for (int i = 0; i < span.steps; ++i, ++step) {
        time.advanceBy(10ms);
        if (span.kind != Stretch::pause) recorded += kBufferSamples;
        const bool paused = span.kind == Stretch::pause;
        if (!paused && span.kind != Stretch::systemStall && span.kind != Stretch::outage) {
          timeline->appendSystemAudio(ramp(step).data(), kBufferSamples);
          ASSERT_EQ(timeline->systemWriter().sampleCount(), recorded) << "step " << step;
        }
        if (meeting && !paused && span.kind != Stretch::microphoneStall) {
          timeline->appendMicrophoneAudio(ramp(step).data(), kBufferSamples);
          ASSERT_EQ(timeline->microphoneSampleCount(), recorded) << "step " << step;
        }
        if (step % kStepsPerTick == 0) {
          const auto progress = timeline->progress();
          // Never ahead of the recording. Behind it by at most what a stall hides: the fill's
          // latency and a tick, kept over a pause, and then, since a resume is no stall, the
          // stall threshold and a tick again.
          EXPECT_LE(progress.elapsedMs, recorded / 16) << "step " << step;
          EXPECT_GE(progress.elapsedMs, recorded / 16 - 1500) << "step " << step;
          if (span.kind == Stretch::outage) {
            EXPECT_EQ(progress.systemLevel, 0);
          }
        }
        EXPECT_LE(timeline->systemWriter().sampleCount(), recorded);
      }
      if (span.kind == Stretch::pause) setPaused(false);
      if (span.kind == Stretch::outage) closeOutage();
    }
  }

  // Buffer `step`, every sample carrying the step number, so the order survives in the file.
  static std::vector<float> ramp(std::int64_t step) {
    return std::vector<float>(kBufferSamples, static_cast<float>(step + 1) / 32767.0f);
  }

  void stopAndCheck(const std::string& track, std::int64_t delivered) {
    std::int64_t target = 0;
    {
      std::lock_guard lock(stateLock);
      flags.stopping = true;
      target = timeline->sampleTargetLocked(now());
      timeline->closeLocked(now());
    }
    EXPECT_EQ(target, recorded);
    timeline->synchronizeForCompletion(target);
    timeline->systemWriter().close();
    if (auto* microphone = timeline->microphoneWriter()) microphone->close();
    const auto samples = readTrack(directory.file(track));
    ASSERT_EQ(static_cast<std::int64_t>(samples.size()), recorded);
    // Every real sample kept, in order, none twice: silence only ever went between buffers.
    std::int64_t kept = 0;
    std::int16_t last = 0;
    for (const std::int16_t sample : samples) {
      if (sample == 0) continue;
      ++kept;
      ASSERT_GE(sample, last);
      last = sample;
    }
    EXPECT_EQ(kept, delivered);
  }

  static std::int64_t delivered(const std::vector<Span>& schedule, Stretch quiet,
                                bool outageIsQuiet) {
    std::int64_t samples = 0;
    for (const Span& span : schedule) {
      const bool silent = span.kind == Stretch::pause || span.kind == quiet ||
                          (outageIsQuiet && span.kind == Stretch::outage);
      if (!silent) samples += span.steps * kBufferSamples;
    }
    return samples;
  }

  TemporaryDirectory directory;
  VirtualTimeSource time;
  std::mutex stateLock;
  RecordingFlags flags;
  std::unique_ptr<CaptureTimeline> timeline;
  std::int64_t recorded = 0;  // the truth: unpaused time, counted by the generator
};

TEST_P(CaptureTimelineTest, MediaTrackFollowsTheRecordingThroughStallsPausesAndOutages) {
  make(false);
  const auto schedule = generateSchedule(GetParam());
  record(schedule, false);
  stopAndCheck("system.pcm", delivered(schedule, Stretch::systemStall, true));
}

TEST_P(CaptureTimelineTest, MeetingTracksStayAlignedWhileEachStallsOnItsOwn) {
  make(true);
  const auto schedule = generateSchedule(GetParam());
  record(schedule, true);
  stopAndCheck("microphone.pcm", delivered(schedule, Stretch::microphoneStall, false));
  EXPECT_EQ(readTrack(directory.file("system.pcm")).size(), static_cast<std::size_t>(recorded));
}

INSTANTIATE_TEST_SUITE_P(Seeds, CaptureTimelineTest, ::testing::Range(1u, 9u));

TEST(CaptureTimelineMirror, AnUnavailableMicrophoneTrackMirrorsEverySystemWrite) {
  TemporaryDirectory directory;
  VirtualTimeSource time;
  std::mutex stateLock;
  RecordingFlags flags;
  flags.microphoneInitializationComplete = true;
  CaptureTimeline timeline(PcmWriter::create(directory.file("s")),
                           PcmWriter::create(directory.file("m")), time.clock(), stateLock, flags);
  timeline.start();
  const std::vector<float> loud(kBufferSamples, 0.5f);
  for (int step = 1; step <= 400; ++step) {
    time.advanceBy(10ms);
    // Real audio, a stall that maintenance fills, and outage silence, all mirrored.
    if (step < 100 || step > 250) timeline.appendSystemAudio(loud.data(), kBufferSamples);
    if (step % kStepsPerTick == 0) timeline.maintain();
    if (step == 300) timeline.appendSystemSilence(1234);
    ASSERT_EQ(timeline.microphoneSampleCount(), timeline.systemWriter().sampleCount());
  }
  timeline.microphoneWriter()->close();
  const auto microphone = readTrack(directory.file("m"));
  EXPECT_TRUE(std::all_of(microphone.begin(), microphone.end(), [](auto s) { return s == 0; }));
}

class CaptureTimelineStamps : public ::testing::Test {
 protected:
  CaptureTimelineStamps() {
    flags.microphoneEnabled = flags.microphoneAvailable = true;
    flags.microphoneInitializationComplete = true;
    timeline.start();
  }

  // A 10 ms run of `value`, stamped `stamp`.
  void microphoneRun(float value, std::uint64_t stamp) {
    const std::vector<float> run(kBufferSamples, value);
    timeline.appendMicrophoneAudio(run.data(), kBufferSamples, stamp);
  }

  // A value of each run's own, so that the track shows where every run went; and as written.
  static float runValue(std::int64_t run) { return static_cast<float>(run + 1) / 1000.0f; }
  static long written(float value) { return std::lround(static_cast<double>(value) * 32767.0); }

  std::vector<std::int16_t> finishedMicrophoneTrack() {
    timeline.synchronizeForCompletion(0);
    timeline.microphoneWriter()->close();
    return readTrack(directory.file("m"));
  }

  std::uint64_t now() const { return time.clock().uptimeNanoseconds(); }

  static constexpr std::uint64_t kBufferNanoseconds = 10'000'000;
  TemporaryDirectory directory;
  VirtualTimeSource time;
  std::mutex stateLock;
  RecordingFlags flags;
  CaptureTimeline timeline{PcmWriter::create(directory.file("s")),
                           PcmWriter::create(directory.file("m")), time.clock(), stateLock, flags};
  const std::vector<float> loud = std::vector<float>(kBufferSamples, 0.5f);
  const std::uint64_t origin = now();
};

// Capture stamps come from the platform: a run stamped a little off moves to its moment; runs
// stamped absurdly far off are written where they land once a run in line follows them, and
// neither grows the track without bound.
TEST_F(CaptureTimelineStamps, AMicrophoneRunMovesToItsMomentOnlyWhenTheStampIsBelievable) {
  for (std::uint64_t step = 0; step < 10; ++step) {
    timeline.appendSystemAudio(loud.data(), kBufferSamples, origin + step * kBufferNanoseconds);
  }
  // The microphone's first run was captured 2 ms after the system track's 60 ms.
  microphoneRun(0.5f, origin + 62'000'000);
  const std::int64_t first = 60 * 16 + 32 + kBufferSamples;
  EXPECT_EQ(timeline.microphoneSampleCount(), first);
  microphoneRun(0.5f, 1);
  microphoneRun(0.5f, origin + 3'600'000'000'000);
  microphoneRun(0.5f, origin + 62'000'000 + 3 * kBufferNanoseconds);
  EXPECT_EQ(timeline.microphoneSampleCount(), first + 3 * kBufferSamples);
}

// A first stamp beyond belief once pinned the microphone to the track's start, a second and a
// half before the system audio of the same moment.
TEST_F(CaptureTimelineStamps, AFirstRunWithAStampBeyondBeliefEndsWhereTheSystemTrackEnds) {
  for (std::uint64_t step = 0; step < 100; ++step) {
    timeline.appendSystemAudio(loud.data(), kBufferSamples, origin + step * kBufferNanoseconds);
  }
  microphoneRun(0.5f, origin + 3'600'000'000'000);
  EXPECT_EQ(timeline.microphoneSampleCount(), timeline.systemWriter().sampleCount());
}

// A server's latency readings settle over a stream's first second: stamps that read 13 ms early
// for half a second and then run true are no clock to hold the system track to.
TEST_F(CaptureTimelineStamps, AFreshSystemStreamsSettlingStampsAreNotTakenAsItsClock) {
  for (std::uint64_t step = 0; step < 500; ++step) {
    time.advanceBy(10ms);
    const std::uint64_t early = step < 50 ? 13'000'000 : 0;
    timeline.appendSystemAudio(loud.data(), kBufferSamples, now() - kBufferNanoseconds - early);
  }
  EXPECT_LT(std::abs(timeline.systemRateCorrection()), 20e-6);
}

// The device loses 20 ms after its hundredth run; each run carries its own value. The runs
// after the jump must follow the lost stretch, not the two runs the jump took to be believed.
TEST_F(CaptureTimelineStamps, TheRunsAfterALastingJumpAllGoWhereTheirStampsSay) {
  constexpr std::int64_t kJumpStep = 100;
  constexpr std::int64_t kLost = 320;
  for (std::int64_t step = 0; step < 200; ++step) {
    const std::uint64_t at = origin + static_cast<std::uint64_t>(step) * kBufferNanoseconds;
    timeline.appendSystemAudio(loud.data(), kBufferSamples, at);
    microphoneRun(runValue(step), at + (step >= kJumpStep ? 20'000'000 : 0));
  }
  const auto microphone = finishedMicrophoneTrack();
  ASSERT_EQ(static_cast<std::int64_t>(microphone.size()), 200 * kBufferSamples + kLost);
  const auto at = [&](std::int64_t index) { return microphone[static_cast<std::size_t>(index)]; };
  const std::int64_t jump = kJumpStep * kBufferSamples;
  EXPECT_NE(at(jump - 1), 0);
  for (std::int64_t index = jump; index < jump + kLost; ++index) ASSERT_EQ(at(index), 0) << index;
  for (std::int64_t step = kJumpStep; step < 200; ++step) {
    const std::int64_t index = jump + kLost + (step - kJumpStep) * kBufferSamples;
    ASSERT_EQ(at(index), at(index + kBufferSamples - 1)) << step;
    ASSERT_EQ(at(index), written(runValue(step))) << step;
  }
}

// A new engine slow to deliver on a loaded machine: its first runs arrive a second and a half
// after their moments, long after the gap fill covered them. What the fill covered is dropped
// and every run goes where its stamp says; the first was once appended at the timeline's end,
// which put the whole microphone track that much late.
TEST_F(CaptureTimelineStamps, AnEngineThatDeliversLongAfterAGapFillIsPlacedByItsStamps) {
  const auto systemRun = [&] {
    time.advanceBy(10ms);
    timeline.appendSystemAudio(loud.data(), kBufferSamples, now() - kBufferNanoseconds);
  };
  for (int step = 0; step < 100; ++step) {
    systemRun();
    microphoneRun(0.5f, now() - kBufferNanoseconds);
  }
  timeline.realignMicrophone();
  const std::uint64_t engineStart = now();
  const auto moment = [&](int run) { return engineStart + run * kBufferNanoseconds; };
  for (int step = 0; step < 150; ++step) {
    systemRun();
    if (step % kStepsPerTick == 0) timeline.maintain();
  }
  for (int run = 0; run < 200; ++run) {
    if (run >= 150) systemRun();
    microphoneRun(runValue(run), moment(run));
  }
  const auto microphone = finishedMicrophoneTrack();
  for (int run = 150; run < 200; ++run) {
    const auto index = static_cast<std::size_t>((moment(run) - origin) / 1'000'000 * 16);
    ASSERT_LE(index + kBufferSamples, microphone.size());
    EXPECT_EQ(microphone[index], written(runValue(run))) << run;
  }
}

}  // namespace
}  // namespace orvix::capture::testing
