#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "OrvixAudioCaptureHost/drift_controller.h"
#include "OrvixAudioCaptureHost/pcm_writer.h"
#include "OrvixAudioCaptureHost/recording_flags.h"
#include "common/time/clock.h"

namespace orvix::capture {

// The two tracks of a recording on one timeline: sample n of the system track and sample n of
// the microphone track belong to the same moment, and both follow the unpaused recording time.
// The timeline counts that time and the time of a system-stream outage, pads a track whose
// source has been quiet too long, fits the next real buffer so that it ends on the timeline,
// mirrors the system track onto the microphone track while the microphone is unavailable,
// aligns a fresh microphone to the system track, pads both tracks at completion and measures
// progress. A timeline with a microphone track is a meeting's.
//
// Locks: the timeline owns the track-write lock, under which every composite track operation
// (measure, decide, write) runs whole. Its clocks and flags are guarded by the controller's
// state lock, taken inside the track-write lock and only for the decision; a writer's own lock
// comes last. Methods named ...Locked expect the state lock held.
//
// Threads: system audio on the stream's or the tap's queue, microphone audio on the microphone
// queue, maintenance and progress on the main thread, outage silence on the main thread or a
// recovery task, completion on the stop task.
class CaptureTimeline {
 public:
  CaptureTimeline(std::unique_ptr<PcmWriter> system, std::unique_ptr<PcmWriter> microphone,
                  const Clock& clock, std::mutex& stateLock, const RecordingFlags& flags);
  CaptureTimeline(const CaptureTimeline&) = delete;
  CaptureTimeline& operator=(const CaptureTimeline&) = delete;

  // Samples of the track rate in `nanoseconds`, halves rounded away from zero.
  static std::int64_t samplesForNanoseconds(std::uint64_t nanoseconds);

  // Where a fitted buffer goes after a gap fill, for a track of `current` samples and a
  // timeline target of `target`: silence in front of it, and samples dropped from its head.
  struct Fit {
    std::int64_t padding = 0;
    std::int64_t skipped = 0;
  };
  static Fit fitBuffer(std::int64_t target, std::int64_t current, std::int64_t count);

  // What a progress tick reports; a level reads 0 while its track has nothing live to measure.
  struct Progress {
    std::int64_t elapsedMs = 0;
    double systemLevel = 0;
    double microphoneLevel = 0;
  };

  PcmWriter& systemWriter() { return *system_; }
  PcmWriter* microphoneWriter() { return microphone_.get(); }
  std::int64_t microphoneSampleCount() const;

  // Opens the timeline at the end of start-up. The samples that proved the backends are part of
  // its origin; paused before that, it opens only with the resume.
  void start();
  // `captureTime` is the machine's uptime at which the run's first sample was captured, when the
  // platform stamped it. Returns whether real samples reached the track; start-up waits for
  // exactly that.
  bool appendSystemAudio(const float* samples, std::int64_t count,
                         std::optional<std::uint64_t> captureTime = std::nullopt);
  // A stamped run goes where the system track holds the same moment: each engine's first run,
  // the run after a gap fill or after the system track's own break, and the runs after a jump
  // that lasts (held back, a few runs at most, until it has lasted); so no rebuild, route change
  // or stall leaves the tracks apart. In between, single stamps are not followed (real ones
  // wobble by milliseconds): the trend of the runs' offsets is. The track is moved once, when the
  // trend has worked out the fresh placement's error; from then on the devices' drift is followed
  // by steering the converter's rate (microphoneRateCorrection).
  // Without stamps, or with a stamp not to be believed, an engine's first run ends where the
  // system track ends (padded only on an empty track) and a run after a fill ends on the
  // timeline.
  void appendMicrophoneAudio(const float* samples, std::int64_t count,
                             std::optional<std::uint64_t> captureTime = std::nullopt);
  void appendSystemSilence(std::int64_t count);
  // The rate corrections each track's converter is to apply from now on: the system track is held
  // to the timeline's clock, the microphone track to the system track's stamps, by steering the
  // rate instead of inserting or cutting samples while the sources run.
  double systemRateCorrection();
  double microphoneRateCorrection();
  // Holds the track-write lock, for a caller that ends an outage and fills it in one step, so
  // that no audio can land ahead of the silence.
  [[nodiscard]] std::unique_lock<std::mutex> lockTracks() {
    return std::unique_lock(trackWriteLock_);
  }
  void appendSystemSilence(const std::unique_lock<std::mutex>& tracks, std::int64_t count);
  // Start-up found no microphone: its track catches up with the system track in silence.
  void synchronizeUnavailableMicrophoneTrack();
  // A new microphone engine: its first buffer is aligned to the system track again, though only
  // an empty track is ever padded for it.
  void realignMicrophone();
  // Pads a track whose source has been quiet for the stall threshold up to the fill latency
  // behind the timeline.
  void maintain();
  // Maintains, then measures.
  Progress progress();
  // After the sources have stopped: both tracks (the system track alone in media mode) up to
  // `minimumSamples` and to each other.
  void synchronizeForCompletion(std::int64_t minimumSamples);

  // The sample count the tracks should have reached at `now`.
  std::int64_t sampleTargetLocked(std::uint64_t now) const;
  // Pause and resume stop and restart both clocks; a resume does not count as a stall.
  void pauseLocked(std::uint64_t now);
  void resumeLocked(std::uint64_t now);
  // Stop: the running stretch ends for good.
  void closeLocked(std::uint64_t now);

  // A system-stream outage: the system track is not filled meanwhile, progress counts it, and
  // whoever ends it fills it in one piece.
  void openSystemOutageLocked(std::uint64_t now);
  bool inSystemOutageLocked() const { return outageOpen_; }
  std::uint64_t systemOutageNanosecondsLocked(std::uint64_t now) const;
  void closeSystemOutageLocked();
  std::int64_t systemOutageMilliseconds();

 private:
  bool shouldMirrorSystemTrackToMicrophoneLocked() const;
  void appendMicrophoneSilenceInPieces(std::int64_t count);
  // Feeds the stamped end of a system run that ends at `endIndex` into the system track's
  // offset from the timeline's clock.
  void followSystemClockLocked(std::int64_t endIndex, std::uint64_t endTime, std::int64_t count);
  // The system track's index of `captureTime`, read off its last stamped run.
  std::optional<std::int64_t> systemIndexOfLocked(std::optional<std::uint64_t> captureTime) const;
  // Absent when the stamp is not to be believed; `lateIsPossible`: the stamp may lie behind the
  // track's end by any length.
  std::optional<Fit> placeByCaptureTime(std::int64_t start, std::int64_t current,
                                        std::int64_t count, bool lateIsPossible = false) const;
  // Whether a microphone stamp lies after the current engine was asked for.
  bool capturedSinceEngineStart(std::optional<std::uint64_t> captureTime) const;
  // What the trend makes of one run: moved by `fit`, held back until it is known whether a jump
  // lasts, or the run that confirms one.
  struct TrendStep {
    Fit fit;
    bool hold = false;
    bool jumped = false;
  };
  // Between fresh placements: feeds the offset of a run whose stamp says it starts at `start`
  // into the trend, and moves the track only as the trend or a lasting jump says.
  TrendStep followOffsetTrend(std::int64_t start, std::int64_t current, std::int64_t count);
  void holdMicrophoneRun(const float* samples, std::int64_t count, bool silence);
  // Writes what is held, less `skipped` samples at its head.
  void writeHeldMicrophoneRuns(std::int64_t skipped = 0);

  std::unique_ptr<PcmWriter> system_;
  std::unique_ptr<PcmWriter> microphone_;
  const Clock& clock_;
  std::mutex& stateLock_;
  const RecordingFlags& flags_;
  std::mutex trackWriteLock_;

  bool microphoneClockAligned_ = false;  // guarded by trackWriteLock_
  // When the current microphone engine was asked for. Guarded by trackWriteLock_.
  std::optional<std::uint64_t> microphoneEngineSince_;
  // The microphone runs' offsets from their stamped moments since the last fresh placement, in
  // samples: their smoothed mean and squared spread, how many runs fed them, and how many runs in
  // a row lay too far off to be wobble. Guarded by trackWriteLock_.
  struct OffsetTrend {
    std::uint64_t systemClockEpoch = 0;
    double mean = 0;
    double spread = 0;
    std::int64_t runs = 0;
    int runsAway = 0;
    // The first placement's error has been worked off; from then on the rate is steered.
    bool settled = false;
  };
  std::optional<OffsetTrend> microphoneTrend_;
  DriftController microphoneDrift_;  // guarded by trackWriteLock_
  // Where the system track's end lay behind the timeline's clock at its stamped moment when the
  // track's clock was taken up (averaged over the first runs): steering holds it there. Guarded by
  // trackWriteLock_ (and set under stateLock_ too).
  struct SystemOffset {
    std::uint64_t systemClockEpoch = 0;
    double reference = 0;
    std::int64_t runs = 0;
    // Samples of the epoch not yet past its first second, whose stamps are not taken as the
    // reference.
    std::int64_t settling = 0;
  };
  std::optional<SystemOffset> systemOffset_;
  DriftController systemDrift_;
  // The runs since the trend saw a possible jump (fewer than it takes to believe one), as they
  // are to be written. Guarded by trackWriteLock_; anything else that writes the microphone track
  // writes these first.
  std::vector<float> heldMicrophoneRuns_;

  // Guarded by stateLock_.
  std::int64_t baseSamples_ = 0;
  std::uint64_t activeNanoseconds_ = 0;
  std::optional<std::uint64_t> activeSince_;
  std::optional<std::uint64_t> lastSystemAudio_;
  std::optional<std::uint64_t> lastMicrophoneAudio_;
  bool systemGapFillActive_ = false;
  bool microphoneGapFillActive_ = false;
  bool outageOpen_ = false;
  // Where the system track ends on the machine's clock, from its last stamped run. Forgotten when
  // the host writes silence there or pauses: the track's end is then no moment of the source.
  struct TrackClock {
    std::int64_t endIndex = 0;
    std::uint64_t endTime = 0;
  };
  std::optional<TrackClock> systemClock_;
  // Counts the times the system track's clock was taken up afresh after a break: a microphone
  // trend measured against the old one says nothing about the new one.
  std::uint64_t systemClockEpoch_ = 0;
  std::uint64_t outageNanoseconds_ = 0;
  std::optional<std::uint64_t> outageActiveSince_;
};

}  // namespace orvix::capture
