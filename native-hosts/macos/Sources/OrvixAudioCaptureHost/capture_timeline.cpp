// The capture timeline: both tracks follow the unpaused recording time, sample for sample.
#include <algorithm>
#include <cmath>

#include "OrvixAudioCaptureHost/capture_constants.h"
#include "OrvixAudioCaptureHost/capture_controller.h"
#include "OrvixAudioCaptureHost/json_number.h"

namespace orvix::capture {

std::int64_t CaptureController::samplesForNanoseconds(std::uint64_t nanoseconds) {
  // std::round rounds halves away from zero.
  return static_cast<std::int64_t>(
      std::round(static_cast<double>(nanoseconds) * sampleRate / 1'000'000'000.0));
}

CaptureController::Fit CaptureController::fitBuffer(std::int64_t target, std::int64_t current,
                                                    std::int64_t count) {
  const std::int64_t start = std::max<std::int64_t>(0, target - count);
  Fit fit;
  fit.padding = std::max<std::int64_t>(0, start - current);
  fit.skipped = std::min(count, std::max<std::int64_t>(0, current + fit.padding - start));
  return fit;
}

std::int64_t CaptureController::captureTimelineSampleTargetLocked(std::uint64_t now) const {
  std::uint64_t active = captureTimelineActiveNanoseconds_;
  if (captureTimelineActiveSinceNanoseconds_ && *captureTimelineActiveSinceNanoseconds_ <= now) {
    active += now - *captureTimelineActiveSinceNanoseconds_;
  }
  return captureTimelineBaseSamples_ + samplesForNanoseconds(active);
}

std::uint64_t CaptureController::currentRecoveryGapNanosecondsLocked(std::uint64_t now) const {
  std::uint64_t gap = recoveryGapNanoseconds_;
  if (recoveryGapActiveSinceNanoseconds_ && *recoveryGapActiveSinceNanoseconds_ <= now) {
    gap += now - *recoveryGapActiveSinceNanoseconds_;
  }
  return gap;
}

void CaptureController::clearRecoveryGapLocked() {
  recoveryGapNanoseconds_ = 0;
  recoveryGapActiveSinceNanoseconds_.reset();
}

std::int64_t CaptureController::currentRecoveryGapMilliseconds() {
  const std::uint64_t now = nowNanoseconds();
  std::lock_guard lock(stateLock_);
  return static_cast<std::int64_t>(currentRecoveryGapNanosecondsLocked(now) / 1'000'000);
}

bool CaptureController::shouldMirrorSystemTrackToMicrophoneLocked() const {
  return arguments_.meeting && microphoneInitializationComplete_ && !microphoneAvailable_;
}

bool CaptureController::hasCaptureStalled(std::optional<std::uint64_t> since, std::uint64_t now) {
  return since && now >= *since && now - *since >= captureStallThresholdNanoseconds;
}

std::int64_t CaptureController::microphoneSampleCount() const {
  return microphoneWriter_ ? microphoneWriter_->sampleCount() : 0;
}

void CaptureController::startCaptureTimeline() {
  std::lock_guard trackLock(trackWriteLock_);
  const std::int64_t base = std::max(systemWriter_->sampleCount(), microphoneSampleCount());
  const std::uint64_t now = nowNanoseconds();
  std::lock_guard lock(stateLock_);
  captureTimelineBaseSamples_ = base;
  captureTimelineActiveNanoseconds_ = 0;
  // Paused before the recording was announced: the timeline opens with the resume, so the
  // paused stretch does not end up in the file as silence.
  if (paused_) {
    captureTimelineActiveSinceNanoseconds_.reset();
  } else {
    captureTimelineActiveSinceNanoseconds_ = now;
  }
  lastSystemAudioNanoseconds_ = now;
  if (microphoneAvailable_) {
    lastMicrophoneAudioNanoseconds_ = now;
  } else {
    lastMicrophoneAudioNanoseconds_.reset();
  }
}

void CaptureController::appendSystemAudio(const float* samples, std::int64_t count) {
  if (count < 1) return;
  std::lock_guard trackLock(trackWriteLock_);
  const std::uint64_t now = nowNanoseconds();
  const std::int64_t current = systemWriter_->sampleCount();
  bool mirror = false;
  Fit fit;
  {
    std::lock_guard lock(stateLock_);
    lastSystemAudioNanoseconds_ = now;
    mirror = shouldMirrorSystemTrackToMicrophoneLocked();
    if (systemGapFillActive_) {
      systemGapFillActive_ = false;
      fit = fitBuffer(captureTimelineSampleTargetLocked(now), current, count);
    }
  }
  if (fit.padding > 0) systemWriter_->appendSilence(fit.padding);
  const std::int64_t written = count - fit.skipped;
  if (written > 0) {
    systemWriter_->append(samples + fit.skipped, written);
    systemAudioStartup_.markReady();
  }
  if (mirror && microphoneWriter_) {
    microphoneWriter_->appendSilence(std::max<std::int64_t>(0, written) + fit.padding);
  }
}

void CaptureController::appendMicrophoneAudio(const float* samples, std::int64_t count) {
  if (count < 1) return;
  std::lock_guard trackLock(trackWriteLock_);
  if (!microphoneClockAligned_) {
    microphoneClockAligned_ = true;
    if (microphoneWriter_ && microphoneWriter_->sampleCount() == 0) {
      std::int64_t lead = std::max<std::int64_t>(
          0, systemWriter_->sampleCount() - microphoneWriter_->sampleCount() - count);
      while (lead > 0) {
        const std::int64_t piece = std::min(lead, microphoneAlignmentPieceSamples);
        microphoneWriter_->appendSilence(piece);
        lead -= piece;
      }
    }
  }
  const std::uint64_t now = nowNanoseconds();
  const std::int64_t current = microphoneSampleCount();
  bool silence = false;
  Fit fit;
  {
    std::lock_guard lock(stateLock_);
    lastMicrophoneAudioNanoseconds_ = now;
    silence = !microphoneEnabled_;
    if (microphoneGapFillActive_) {
      microphoneGapFillActive_ = false;
      fit = fitBuffer(captureTimelineSampleTargetLocked(now), current, count);
    }
  }
  if (!microphoneWriter_) return;
  if (fit.padding > 0) microphoneWriter_->appendSilence(fit.padding);
  if (count - fit.skipped > 0) {
    microphoneWriter_->append(samples + fit.skipped, count - fit.skipped, silence);
  }
}

void CaptureController::appendSystemSilenceLocked(std::int64_t count) {
  if (count <= 0) return;
  bool mirror = false;
  {
    std::lock_guard lock(stateLock_);
    mirror = shouldMirrorSystemTrackToMicrophoneLocked();
  }
  systemWriter_->appendSilence(count);
  if (mirror && microphoneWriter_) microphoneWriter_->appendSilence(count);
}

void CaptureController::appendSystemSilence(std::int64_t count) {
  if (count <= 0) return;
  std::lock_guard trackLock(trackWriteLock_);
  appendSystemSilenceLocked(count);
}

void CaptureController::synchronizeUnavailableMicrophoneTrack() {
  std::lock_guard trackLock(trackWriteLock_);
  if (!microphoneWriter_) return;
  const std::int64_t missing = systemWriter_->sampleCount() - microphoneWriter_->sampleCount();
  if (missing > 0) microphoneWriter_->appendSilence(missing);
}

void CaptureController::maintainCaptureTimeline() {
  const std::uint64_t now = nowNanoseconds();
  std::lock_guard trackLock(trackWriteLock_);
  const std::int64_t system = systemWriter_->sampleCount();
  std::int64_t target = 0;
  bool fillSystem = false;
  bool fillMicrophone = false;
  bool mirror = false;
  {
    std::lock_guard lock(stateLock_);
    if (paused_ || stopping_ || !captureTimelineActiveSinceNanoseconds_) return;
    target = std::max(captureTimelineBaseSamples_,
                      captureTimelineSampleTargetLocked(now) -
                          samplesForNanoseconds(captureGapFillLatencyNanoseconds));
    fillSystem = !recoveringSystemStream_ && hasCaptureStalled(lastSystemAudioNanoseconds_, now);
    fillMicrophone = arguments_.meeting && microphoneAvailable_ &&
                     hasCaptureStalled(lastMicrophoneAudioNanoseconds_, now);
    mirror = shouldMirrorSystemTrackToMicrophoneLocked();
  }
  if (fillSystem && system < target) {
    systemWriter_->appendSilence(target - system);
    if (mirror && microphoneWriter_) microphoneWriter_->appendSilence(target - system);
    std::lock_guard lock(stateLock_);
    systemGapFillActive_ = true;
  }
  const std::int64_t microphone = microphoneSampleCount();
  if (fillMicrophone && microphoneWriter_ && microphone < target) {
    microphoneWriter_->appendSilence(target - microphone);
    std::lock_guard lock(stateLock_);
    microphoneGapFillActive_ = true;
  }
}

void CaptureController::emitProgress() {
  maintainCaptureTimeline();
  const auto system = systemWriter_->snapshot();
  const auto microphone = microphoneWriter_ ? microphoneWriter_->snapshot() : PcmWriter::Snapshot{};
  const std::uint64_t now = nowNanoseconds();
  std::int64_t gap = 0;
  bool recovering = false;
  bool microphoneEnabled = false;
  {
    std::lock_guard lock(stateLock_);
    recovering = recoveringSystemStream_;
    if (recovering) gap = samplesForNanoseconds(currentRecoveryGapNanosecondsLocked(now));
    microphoneEnabled = microphoneEnabled_;
  }
  const std::int64_t elapsed = std::max(system.samples + gap, microphone.samples);
  events_.emit(
      "recording.progress",
      Json{{"elapsedMs", elapsed * 1000 / static_cast<std::int64_t>(sampleRate)},
           {"systemLevel", recovering ? Json(0) : levelNumber(system.level)},
           {"microphoneLevel", microphoneEnabled ? levelNumber(microphone.level) : Json(0)}});
}

void CaptureController::synchronizeCaptureTracksForCompletion(std::int64_t minimumSamples) {
  std::lock_guard trackLock(trackWriteLock_);
  const std::int64_t system = systemWriter_->sampleCount();
  const std::int64_t microphone = microphoneSampleCount();
  const std::int64_t target = arguments_.meeting ? std::max({minimumSamples, system, microphone})
                                                 : std::max(minimumSamples, system);
  if (system < target) systemWriter_->appendSilence(target - system);
  if (arguments_.meeting && microphoneWriter_ && microphone < target) {
    microphoneWriter_->appendSilence(target - microphone);
  }
}

}  // namespace orvix::capture
