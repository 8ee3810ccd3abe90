#include "OrvixAudioCaptureHost/capture_timeline.h"

#include <algorithm>
#include <cmath>

#include "OrvixAudioCaptureHost/capture_constants.h"

namespace orvix::capture {

namespace {

bool hasCaptureStalled(std::optional<std::uint64_t> since, std::uint64_t now) {
  return since && now >= *since && now - *since >= captureStallThresholdNanoseconds;
}

constexpr double kNanosecondsPerSample = 1e9 / sampleRate;
// Closer than this (a quarter millisecond) a stamped microphone run is left where it lands:
// stamps and resampling round by a sample or two.
constexpr std::int64_t kPlacementToleranceSamples = 4;
// Stamps that put a run further off than this are not believed.
constexpr std::int64_t kLargestPlacementCorrectionSamples = 16000;
// How far a real stamp may lie before the moment it cannot precede.
constexpr std::uint64_t kStampWobbleNanoseconds = 50'000'000;
// Real stamps (a latency estimate, a host-time reading) wobble by milliseconds from run to run
// while the samples themselves flow on without a gap; moving each run to its own stamp scatters
// short silences and cuts all through the track. Only the trend of the offsets is followed: it
// weighs each run by this much (some 64 runs, under a second and a half, remember it: drift of
// even 400 parts per million moves less than a millisecond in that time) ...
constexpr double kTrendWeight = 1.0 / 64;
// ... speaks only after that many runs ...
constexpr std::int64_t kTrendRuns = 64;
// ... and moves the track once its mean is more than this many standard errors from zero (the
// wobble it has seen does not put it there by chance, even with neighbouring runs read against
// one and the same system stamp; perfect stamps leave the quarter-millisecond tolerance).
constexpr double kTrendStandardErrors = 6;
// A run further than this from the trend (10 ms, and six times the wobble seen) is a jump, not
// wobble: a device that lost or repeated samples. Believed only once it lasts this many runs.
constexpr double kJumpSamples = 160;
constexpr double kJumpSpreads = 6;
constexpr int kJumpRuns = 3;
// How long a fresh system stream's stamps are left to settle (a server's latency readings can be
// tens of milliseconds off at first) before its offset from the timeline's clock is taken as the
// one to hold: a second.
constexpr std::int64_t kStampSettlingSamples = 16000;
// Steering works off a few milliseconds in seconds; an offset beyond this (20 ms) means the rate
// could not follow, and the track is moved instead.
constexpr double kLargestSteeredOffsetSamples = 320;

// `total` plus the running part that began at `since`, if it has begun by `now`.
std::uint64_t withRunningPart(std::uint64_t total, std::optional<std::uint64_t> since,
                              std::uint64_t now) {
  return since && *since <= now ? total + (now - *since) : total;
}

}  // namespace

CaptureTimeline::CaptureTimeline(std::unique_ptr<PcmWriter> system,
                                 std::unique_ptr<PcmWriter> microphone, const Clock& clock,
                                 std::mutex& stateLock, const RecordingFlags& flags)
    : system_(std::move(system)),
      microphone_(std::move(microphone)),
      clock_(clock),
      stateLock_(stateLock),
      flags_(flags) {}

std::int64_t CaptureTimeline::samplesForNanoseconds(std::uint64_t nanoseconds) {
  // std::round rounds halves away from zero.
  return static_cast<std::int64_t>(
      std::round(static_cast<double>(nanoseconds) * sampleRate / 1'000'000'000.0));
}

CaptureTimeline::Fit CaptureTimeline::fitBuffer(std::int64_t target, std::int64_t current,
                                                std::int64_t count) {
  const std::int64_t start = std::max<std::int64_t>(0, target - count);
  Fit fit;
  fit.padding = std::max<std::int64_t>(0, start - current);
  fit.skipped = std::min(count, std::max<std::int64_t>(0, current + fit.padding - start));
  return fit;
}

std::int64_t CaptureTimeline::microphoneSampleCount() const {
  return microphone_ ? microphone_->sampleCount() : 0;
}

// ---- clocks

std::int64_t CaptureTimeline::sampleTargetLocked(std::uint64_t now) const {
  return baseSamples_ +
         samplesForNanoseconds(withRunningPart(activeNanoseconds_, activeSince_, now));
}

void CaptureTimeline::pauseLocked(std::uint64_t now) {
  closeLocked(now);
  systemClock_.reset();
  if (outageOpen_) {
    outageNanoseconds_ = withRunningPart(outageNanoseconds_, outageActiveSince_, now);
    outageActiveSince_.reset();
  }
}

void CaptureTimeline::resumeLocked(std::uint64_t now) {
  if (!activeSince_) {
    activeSince_ = now;
    lastSystemAudio_ = now;
    if (flags_.microphoneAvailable) lastMicrophoneAudio_ = now;
  }
  if (outageOpen_ && !outageActiveSince_) outageActiveSince_ = now;
}

void CaptureTimeline::closeLocked(std::uint64_t now) {
  activeNanoseconds_ = withRunningPart(activeNanoseconds_, activeSince_, now);
  activeSince_.reset();
}

void CaptureTimeline::openSystemOutageLocked(std::uint64_t now) {
  outageOpen_ = true;
  outageNanoseconds_ = 0;
  // Paused time never counts as part of an outage.
  if (flags_.paused) {
    outageActiveSince_.reset();
  } else {
    outageActiveSince_ = now;
  }
}

std::uint64_t CaptureTimeline::systemOutageNanosecondsLocked(std::uint64_t now) const {
  return withRunningPart(outageNanoseconds_, outageActiveSince_, now);
}

void CaptureTimeline::closeSystemOutageLocked() {
  outageOpen_ = false;
  outageNanoseconds_ = 0;
  outageActiveSince_.reset();
}

std::int64_t CaptureTimeline::systemOutageMilliseconds() {
  const std::uint64_t now = clock_.uptimeNanoseconds();
  std::lock_guard lock(stateLock_);
  return static_cast<std::int64_t>(systemOutageNanosecondsLocked(now) / 1'000'000);
}

bool CaptureTimeline::shouldMirrorSystemTrackToMicrophoneLocked() const {
  return microphone_ && flags_.microphoneInitializationComplete && !flags_.microphoneAvailable;
}

// ---- tracks

void CaptureTimeline::start() {
  std::lock_guard trackLock(trackWriteLock_);
  const std::int64_t base = std::max(system_->sampleCount(), microphoneSampleCount());
  const std::uint64_t now = clock_.uptimeNanoseconds();
  std::lock_guard lock(stateLock_);
  baseSamples_ = base;
  activeNanoseconds_ = 0;
  // Paused before the recording was announced: the timeline opens with the resume, so the
  // paused stretch does not end up in the file as silence.
  if (flags_.paused) {
    activeSince_.reset();
  } else {
    activeSince_ = now;
  }
  lastSystemAudio_ = now;
  if (flags_.microphoneAvailable) {
    lastMicrophoneAudio_ = now;
  } else {
    lastMicrophoneAudio_.reset();
  }
}

bool CaptureTimeline::appendSystemAudio(const float* samples, std::int64_t count,
                                        std::optional<std::uint64_t> captureTime) {
  if (count < 1) return false;
  std::lock_guard trackLock(trackWriteLock_);
  const std::uint64_t now = clock_.uptimeNanoseconds();
  const std::int64_t current = system_->sampleCount();
  bool mirror = false;
  Fit fit;
  {
    std::lock_guard lock(stateLock_);
    lastSystemAudio_ = now;
    mirror = shouldMirrorSystemTrackToMicrophoneLocked();
    if (systemGapFillActive_) {
      systemGapFillActive_ = false;
      fit = fitBuffer(sampleTargetLocked(now), current, count);
    }
    // The track's clock taken up after silence, a pause or unstamped runs: a new epoch.
    if (captureTime && !systemClock_) ++systemClockEpoch_;
    systemClock_.reset();
    if (captureTime) {
      // Where the run's last sample lands, whatever part of its head was dropped.
      systemClock_ = TrackClock{
          current + fit.padding - fit.skipped + count,
          *captureTime +
              static_cast<std::uint64_t>(static_cast<double>(count) * kNanosecondsPerSample)};
      followSystemClockLocked(systemClock_->endIndex, systemClock_->endTime, count);
    }
  }
  if (fit.padding > 0) system_->appendSilence(fit.padding);
  const std::int64_t written = count - fit.skipped;
  if (written > 0) system_->append(samples + fit.skipped, written);
  if (mirror) {
    writeHeldMicrophoneRuns();
    microphone_->appendSilence(std::max<std::int64_t>(0, written) + fit.padding);
  }
  return written > 0;
}

void CaptureTimeline::followSystemClockLocked(std::int64_t endIndex, std::uint64_t endTime,
                                              std::int64_t count) {
  // Stamps from before the timeline (re)opened say nothing about its clock.
  if (!activeSince_ || endTime < *activeSince_) return;
  const double clockIndex =
      static_cast<double>(baseSamples_) +
      static_cast<double>(activeNanoseconds_ + (endTime - *activeSince_)) / kNanosecondsPerSample;
  const double offset = clockIndex - static_cast<double>(endIndex);
  if (!systemOffset_ || systemOffset_->systemClockEpoch != systemClockEpoch_) {
    // Taken up afresh (at the start, after a fill, a pause or an outage): the latency between
    // the stamp and the track's end is what it is; only how it changes from here is drift.
    systemOffset_ = SystemOffset{systemClockEpoch_, offset, 0, kStampSettlingSamples};
    return;
  }
  SystemOffset& trend = *systemOffset_;
  // A fresh stream's first stamps are the least sure (a server's latency readings settle over
  // its first second, by up to tens of milliseconds): the reference is taken after them.
  if (trend.settling > 0) {
    trend.settling -= count;
    trend.reference = offset;
    return;
  }
  // The reference is the average of the first runs, not one wobbling stamp.
  if (++trend.runs <= kTrendRuns) {
    trend.reference += (offset - trend.reference) / static_cast<double>(trend.runs + 1);
    return;
  }
  systemDrift_.update(offset - trend.reference, count);
}

void CaptureTimeline::appendMicrophoneSilenceInPieces(std::int64_t count) {
  while (count > 0) {
    const std::int64_t piece = std::min(count, microphoneAlignmentPieceSamples);
    microphone_->appendSilence(piece);
    count -= piece;
  }
}

std::optional<std::int64_t> CaptureTimeline::systemIndexOfLocked(
    std::optional<std::uint64_t> captureTime) const {
  if (!captureTime || !systemClock_) return std::nullopt;
  const double before =
      static_cast<double>(systemClock_->endTime) - static_cast<double>(*captureTime);
  return systemClock_->endIndex - std::llround(before / kNanosecondsPerSample);
}

bool CaptureTimeline::capturedSinceEngineStart(std::optional<std::uint64_t> captureTime) const {
  return captureTime && microphoneEngineSince_ &&
         *captureTime + kStampWobbleNanoseconds >= *microphoneEngineSince_;
}

std::optional<CaptureTimeline::Fit> CaptureTimeline::placeByCaptureTime(
    std::int64_t start, std::int64_t current, std::int64_t count, bool lateIsPossible) const {
  const std::int64_t off = start - current;
  Fit fit;
  if (std::llabs(off) <= kPlacementToleranceSamples) return fit;
  // An empty track may wait for its first run for as long as the system track has run, and may
  // drop the head of a run that began before it. A run captured since its engine started may lie
  // behind the track's end by however long it took to arrive (a loaded machine, an engine slow
  // to start): what the gap fill wrote over its moments is dropped from its head.
  const bool believable = current == 0
                              ? start >= -count && start <= system_->sampleCount() + count
                              : std::llabs(off) <= kLargestPlacementCorrectionSamples ||
                                    (off < 0 && lateIsPossible);
  if (!believable) return std::nullopt;
  if (off > 0) {
    fit.padding = off;
  } else {
    // Silence the host wrote ahead of the run (mirrored while the engine was rebuilt, or a gap
    // fill) already covers these samples' moments: they are dropped.
    fit.skipped = std::min(count, -off);
  }
  return fit;
}

CaptureTimeline::TrendStep CaptureTimeline::followOffsetTrend(std::int64_t start,
                                                              std::int64_t current,
                                                              std::int64_t count) {
  OffsetTrend& trend = *microphoneTrend_;
  const double deviation = static_cast<double>(start - current) - trend.mean;
  const double wobble = std::sqrt(trend.spread);
  if (std::abs(deviation) > std::max(kJumpSamples, kJumpSpreads * wobble)) {
    // One wild stamp is not believed; a jump that lasts is, and the runs since it began belong
    // after it as much as the run that confirms it. Until then they are held back.
    if (++trend.runsAway < kJumpRuns) return {Fit{}, true, false};
    trend = OffsetTrend{trend.systemClockEpoch};
    return {Fit{}, false, true};
  }
  trend.runsAway = 0;
  ++trend.runs;
  // A plain average over the first runs, so that the trend's first word (often the error of the
  // fresh placement, which read one stamp of each track) is a whole one, and the track moves once.
  const double weight = std::max(kTrendWeight, 1.0 / static_cast<double>(trend.runs));
  trend.mean += deviation * weight;
  trend.spread += (deviation * deviation - trend.spread) * weight;
  if (trend.runs < kTrendRuns) return {};
  if (trend.settled && std::abs(trend.mean) <= kLargestSteeredOffsetSamples) {
    // The devices' drift: followed by the converter's rate, so that no sample is added or cut.
    microphoneDrift_.update(static_cast<double>(start - current), count);
    return {};
  }
  trend.settled = true;
  // The standard error of an exponentially weighted mean of samples with this spread.
  const double standardError = std::sqrt(trend.spread * kTrendWeight / (2 - kTrendWeight));
  const double tolerance = std::max(static_cast<double>(kPlacementToleranceSamples),
                                    kTrendStandardErrors * standardError);
  if (std::abs(trend.mean) <= tolerance) return {};
  // The fresh placement read one wobbling stamp of each track, and a rate that could not be
  // steered may have let the offset run away: the track moves once by the whole trend, and from
  // now on the offsets are measured from there.
  const Fit fit =
      placeByCaptureTime(current + std::llround(trend.mean), current, count).value_or(Fit{});
  trend.mean -= static_cast<double>(fit.padding - fit.skipped);
  return {fit, false, false};
}

void CaptureTimeline::holdMicrophoneRun(const float* samples, std::int64_t count, bool silence) {
  const auto held = heldMicrophoneRuns_.size();
  heldMicrophoneRuns_.resize(held + static_cast<std::size_t>(count));
  if (silence) {
    std::fill(heldMicrophoneRuns_.begin() + static_cast<std::ptrdiff_t>(held),
              heldMicrophoneRuns_.end(), 0.0f);
  } else {
    std::copy(samples, samples + count,
              heldMicrophoneRuns_.begin() + static_cast<std::ptrdiff_t>(held));
  }
}

void CaptureTimeline::writeHeldMicrophoneRuns(std::int64_t skipped) {
  const auto held = static_cast<std::int64_t>(heldMicrophoneRuns_.size());
  if (held > skipped) microphone_->append(heldMicrophoneRuns_.data() + skipped, held - skipped);
  heldMicrophoneRuns_.clear();
}

void CaptureTimeline::appendMicrophoneAudio(const float* samples, std::int64_t count,
                                            std::optional<std::uint64_t> captureTime) {
  if (count < 1) return;
  std::lock_guard trackLock(trackWriteLock_);
  std::optional<std::int64_t> stampedStart;
  std::uint64_t systemClockEpoch = 0;
  {
    std::lock_guard lock(stateLock_);
    stampedStart = systemIndexOfLocked(captureTime);
    systemClockEpoch = systemClockEpoch_;
  }
  // A new engine's first run is placed afresh.
  bool fresh = !microphoneClockAligned_;
  const std::uint64_t now = clock_.uptimeNanoseconds();
  bool silence = false;
  bool gapFilled = false;
  std::int64_t target = 0;
  {
    std::lock_guard lock(stateLock_);
    lastMicrophoneAudio_ = now;
    silence = !flags_.microphoneEnabled;
    if (microphoneGapFillActive_) {
      microphoneGapFillActive_ = false;
      fresh = true;
      gapFilled = true;
      target = sampleTargetLocked(now);
    }
  }
  if (!microphone_) return;
  const std::int64_t written = microphone_->sampleCount();
  const auto heldCount = static_cast<std::int64_t>(heldMicrophoneRuns_.size());
  std::optional<Fit> fit;
  TrendStep step;
  if (stampedStart && !fresh && microphoneTrend_ &&
      microphoneTrend_->systemClockEpoch == systemClockEpoch) {
    step = followOffsetTrend(*stampedStart, written + heldCount, count);
    if (step.hold) {
      holdMicrophoneRun(samples, count, silence);
      return;
    }
    if (step.jumped) {
      // The held runs and this one are one stretch of samples, which begins where this run's
      // stamp says, less what is held.
      fit = placeByCaptureTime(*stampedStart - heldCount, written, heldCount + count);
      const Fit block = fit.value_or(Fit{});
      if (block.padding > 0) appendMicrophoneSilenceInPieces(block.padding);
      writeHeldMicrophoneRuns(block.skipped);
      const std::int64_t skipped = std::max<std::int64_t>(0, block.skipped - heldCount);
      if (count > skipped) microphone_->append(samples + skipped, count - skipped, silence);
      return;
    }
    fit = step.fit;
  }
  // Held runs that no jump followed were wobble after all: they go where they arrived.
  writeHeldMicrophoneRuns(0);
  if (stampedStart && !fit) {
    fit = placeByCaptureTime(*stampedStart, written + heldCount, count,
                             capturedSinceEngineStart(captureTime));
    if (fit) microphoneTrend_ = OffsetTrend{systemClockEpoch};
  }
  // A run the gap fill already covered whole says nothing of where the next one goes: that one
  // is placed afresh too.
  microphoneClockAligned_ = !(fit && fit->skipped >= count);
  if (!fit) {
    // No stamp, or one not to be believed: a fresh engine's run ends where the system track
    // ends (padded only on an empty track), a run after a fill ends on the timeline.
    microphoneTrend_.reset();
    microphoneDrift_.reset();
    const std::int64_t current = microphone_->sampleCount();
    if (fresh && current == 0) {
      fit = Fit{std::max<std::int64_t>(0, system_->sampleCount() - count), 0};
    } else if (gapFilled) {
      fit = fitBuffer(target, current, count);
    } else {
      fit = Fit{};
    }
  }
  if (fit->padding > 0) appendMicrophoneSilenceInPieces(fit->padding);
  if (count - fit->skipped > 0) {
    microphone_->append(samples + fit->skipped, count - fit->skipped, silence);
  }
}

double CaptureTimeline::systemRateCorrection() {
  std::lock_guard trackLock(trackWriteLock_);
  return systemDrift_.correction();
}

double CaptureTimeline::microphoneRateCorrection() {
  std::lock_guard trackLock(trackWriteLock_);
  return microphoneDrift_.correction();
}

void CaptureTimeline::appendSystemSilence(const std::unique_lock<std::mutex>& /*tracks*/,
                                          std::int64_t count) {
  if (count <= 0) return;
  bool mirror = false;
  {
    std::lock_guard lock(stateLock_);
    mirror = shouldMirrorSystemTrackToMicrophoneLocked();
    systemClock_.reset();
  }
  system_->appendSilence(count);
  if (mirror) {
    writeHeldMicrophoneRuns();
    microphone_->appendSilence(count);
  }
}

void CaptureTimeline::appendSystemSilence(std::int64_t count) {
  if (count <= 0) return;
  appendSystemSilence(lockTracks(), count);
}

void CaptureTimeline::synchronizeUnavailableMicrophoneTrack() {
  std::lock_guard trackLock(trackWriteLock_);
  if (!microphone_) return;
  writeHeldMicrophoneRuns();
  const std::int64_t missing = system_->sampleCount() - microphone_->sampleCount();
  if (missing > 0) microphone_->appendSilence(missing);
}

void CaptureTimeline::realignMicrophone() {
  std::lock_guard trackLock(trackWriteLock_);
  writeHeldMicrophoneRuns();
  microphoneClockAligned_ = false;
  // The new engine's audio can be no older than this.
  microphoneEngineSince_ = clock_.uptimeNanoseconds();
  // A new engine, perhaps another device with a clock of its own.
  microphoneDrift_.reset();
}

void CaptureTimeline::maintain() {
  const std::uint64_t now = clock_.uptimeNanoseconds();
  std::lock_guard trackLock(trackWriteLock_);
  const std::int64_t system = system_->sampleCount();
  std::int64_t target = 0;
  bool fillSystem = false;
  bool fillMicrophone = false;
  bool mirror = false;
  {
    std::lock_guard lock(stateLock_);
    if (flags_.paused || flags_.stopping || !activeSince_) return;
    // The fill stays this far behind the timeline, so that a late but live source is not
    // overwritten.
    target = std::max(baseSamples_, sampleTargetLocked(now) -
                                        samplesForNanoseconds(captureGapFillLatencyNanoseconds));
    // An outage is filled in one piece when it ends.
    fillSystem = !outageOpen_ && hasCaptureStalled(lastSystemAudio_, now);
    fillMicrophone =
        microphone_ && flags_.microphoneAvailable && hasCaptureStalled(lastMicrophoneAudio_, now);
    mirror = shouldMirrorSystemTrackToMicrophoneLocked();
  }
  if (mirror || fillMicrophone) writeHeldMicrophoneRuns();
  if (fillSystem && system < target) {
    system_->appendSilence(target - system);
    if (mirror) microphone_->appendSilence(target - system);
    std::lock_guard lock(stateLock_);
    systemGapFillActive_ = true;
    systemClock_.reset();
  }
  // Read again: the mirror may have moved it.
  const std::int64_t microphone = microphoneSampleCount();
  if (fillMicrophone && microphone < target) {
    microphone_->appendSilence(target - microphone);
    std::lock_guard lock(stateLock_);
    microphoneGapFillActive_ = true;
  }
}

CaptureTimeline::Progress CaptureTimeline::progress() {
  maintain();
  const auto system = system_->snapshot();
  const auto microphone = microphone_ ? microphone_->snapshot() : PcmWriter::Snapshot{};
  const std::uint64_t now = clock_.uptimeNanoseconds();
  std::int64_t gap = 0;
  bool outage = false;
  bool microphoneEnabled = false;
  {
    std::lock_guard lock(stateLock_);
    outage = outageOpen_;
    if (outage) gap = samplesForNanoseconds(systemOutageNanosecondsLocked(now));
    microphoneEnabled = flags_.microphoneEnabled;
  }
  // An outage counts as recorded time: it will be filled when it ends.
  const std::int64_t elapsed = std::max(system.samples + gap, microphone.samples);
  return Progress{elapsed * 1000 / static_cast<std::int64_t>(sampleRate), outage ? 0 : system.level,
                  microphoneEnabled ? microphone.level : 0};
}

void CaptureTimeline::synchronizeForCompletion(std::int64_t minimumSamples) {
  std::lock_guard trackLock(trackWriteLock_);
  writeHeldMicrophoneRuns();
  const std::int64_t system = system_->sampleCount();
  const std::int64_t microphone = microphoneSampleCount();
  const std::int64_t target = std::max({minimumSamples, system, microphone});
  if (system < target) system_->appendSilence(target - system);
  if (microphone_ && microphone < target) microphone_->appendSilence(target - microphone);
}

}  // namespace orvix::capture
