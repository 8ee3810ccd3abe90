// Picking and starting the system-audio backend, and keeping a screen-capture stream alive.
#include <chrono>

#include "OrvixAudioCaptureHost/capture_constants.h"
#include "OrvixAudioCaptureHost/capture_controller.h"

namespace orvix::capture {

namespace {

Duration startupTimeout() {
  return std::chrono::duration_cast<Duration>(
      std::chrono::duration<double>(systemAudioStartupTimeoutSeconds));
}

Duration nanoseconds(std::uint64_t value) { return Duration(static_cast<std::int64_t>(value)); }

platform::StreamConfiguration streamConfiguration(const platform::CaptureDisplay& display) {
  platform::StreamConfiguration configuration;
  configuration.display = display;
  configuration.capturesAudio = true;
  configuration.excludesCurrentProcessAudio = false;
  configuration.sampleRate = static_cast<int>(sampleRate);
  configuration.channelCount = 1;
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameIntervalValue = 1;
  configuration.minimumFrameIntervalTimescale = 1;
  configuration.queueDepth = 1;
  configuration.showsCursor = false;
  return configuration;
}

}  // namespace

std::optional<CaptureError> CaptureController::startPreferredSystemCapture() {
  if (audio_.processTaps == nullptr) return startScreenCaptureKitUntilReady(true, false);

  std::shared_ptr<platform::ProcessTap> tap = audio_.processTaps->makeTap(
      {[this](const platform::PcmBufferView& buffer) { consumeProcessTapAudio(buffer); },
       [this] { time_.mainLoop().post(weakly([this] { processTapInterrupted(); })); }});
  systemAudioStartup_.reset();

  const auto fallBack = [&]() -> std::optional<CaptureError> {
    tap->stop();
    if (isStopping()) return CaptureError::captureFailed;
    return startScreenCaptureKitUntilReady(true, true);
  };

  if (!tap->start()) return fallBack();
  bool refused = false;
  {
    std::lock_guard lock(stateLock_);
    refused = flags_.stopping;
    if (!refused) {
      processTapCapture_ = tap;
      systemAudioBackend_ = SystemAudioBackend::processTap;
      systemAudioFallback_ = false;
    }
  }
  if (refused) return fallBack();

  const auto result = systemAudioStartup_.wait(startupTimeout());
  {
    std::lock_guard lock(stateLock_);
    if (result == SystemAudioStartupResult::ready && !flags_.stopping &&
        processTapCapture_ == tap) {
      systemAudioStartupComplete_ = true;
      return std::nullopt;
    }
    if (processTapCapture_ == tap) {
      processTapCapture_.reset();
      systemAudioBackend_.reset();
    }
  }
  return fallBack();
}

std::optional<CaptureError> CaptureController::startScreenCaptureKitUntilReady(
    bool requirePermission, bool fallback) {
  CaptureError lastError = CaptureError::captureFailed;
  for (int attempt = 0; attempt < 2; ++attempt) {
    systemAudioStartup_.reset();
    const auto startError = startScreenCaptureKit(requirePermission && attempt == 0);
    if (startError == CaptureError::screenPermissionDenied) return startError;
    if (startError) {
      lastError = *startError;
    } else {
      const auto result = systemAudioStartup_.wait(startupTimeout());
      {
        std::lock_guard lock(stateLock_);
        if (result == SystemAudioStartupResult::ready && !flags_.stopping && stream_) {
          systemAudioBackend_ = SystemAudioBackend::screenCaptureKit;
          systemAudioFallback_ = fallback;
          systemAudioStartupComplete_ = true;
          return std::nullopt;
        }
      }
      lastError = CaptureError::captureFailed;
    }
    stopScreenCaptureKitStartupAttempt();
    if (isStopping()) return CaptureError::captureFailed;
    if (attempt == 0) time_.sleepFor(nanoseconds(systemAudioStartupRetryDelayNanoseconds));
  }
  return lastError;
}

std::optional<CaptureError> CaptureController::startScreenCaptureKit(bool requirePermission) {
  platform::ScreenCapture& screenCapture = audio_.screenCapture;
  if (requirePermission && !screenCapture.preflightAccess() && !screenCapture.requestAccess()) {
    return CaptureError::screenPermissionDenied;
  }
  auto content = screenCapture.shareableContent();
  const auto* shareable = std::get_if<platform::ShareableContent>(&content);
  if (shareable == nullptr || shareable->displays.empty()) return CaptureError::captureFailed;

  auto stream = screenCapture.makeStream(streamConfiguration(shareable->displays.front()), *this);
  if (!stream) return CaptureError::captureFailed;
  if (stream->addOutput(platform::StreamOutputType::audio, *audioQueue_)) {
    return CaptureError::captureFailed;
  }
  if (stream->addOutput(platform::StreamOutputType::screen, *videoQueue_)) {
    return CaptureError::captureFailed;
  }
  auto controlled = std::make_shared<ControlledStream>(std::move(stream), time_);
  {
    std::lock_guard lock(stateLock_);
    if (flags_.stopping) return CaptureError::captureFailed;
    stream_ = controlled;
  }
  if (!controlled->start([this] { return !isStopping(); })) {
    {
      std::lock_guard lock(stateLock_);
      if (stream_ == controlled) stream_.reset();
    }
    controlled->stop();
    return CaptureError::captureFailed;
  }
  const std::uint64_t now = nowNanoseconds();
  std::lock_guard lock(stateLock_);
  if (stream_ == controlled && !flags_.stopping) systemStreamStartedAtNanoseconds_ = now;
  return std::nullopt;
}

void CaptureController::stopScreenCaptureKitStartupAttempt() {
  std::shared_ptr<ControlledStream> stream;
  {
    std::lock_guard lock(stateLock_);
    stream = std::move(stream_);
    stream_.reset();
    systemStreamStartedAtNanoseconds_.reset();
  }
  // When the stop sequence claimed this stream as well, only the first of the two stops it.
  if (stream) stream->stop();
}

bool CaptureController::isCurrentStreamLocked(const platform::ScreenCaptureStream& stream) const {
  return stream_ && &stream_->stream() == &stream;
}

void CaptureController::streamDidOutputAudio(platform::ScreenCaptureStream& stream,
                                             const platform::AudioSampleBuffer& buffer) {
  {
    // A buffer refused here is not written and so does not make the stream ready: start-up
    // accepts a backend only once its audio has really reached the track.
    std::lock_guard lock(stateLock_);
    if (!isCurrentStreamLocked(stream) || flags_.paused || flags_.stopping ||
        timeline_.inSystemOutageLocked()) {
      return;
    }
  }
  systemConverter_.convert(buffer, [this](const float* samples, std::int64_t count) {
    appendSystemAudio(samples, count);
  });
}

void CaptureController::streamDidOutputScreen(platform::ScreenCaptureStream&) {}

void CaptureController::streamDidStop(platform::ScreenCaptureStream& stream,
                                      platform::StreamStopReason reason) {
  const std::uint64_t now = nowNanoseconds();
  bool isCurrent = false;
  bool stopping = false;
  bool recovering = false;
  bool startupComplete = false;
  bool recover = false;
  {
    std::lock_guard lock(stateLock_);
    isCurrent = isCurrentStreamLocked(stream);
    stopping = flags_.stopping;
    recovering = timeline_.inSystemOutageLocked();
    startupComplete = systemAudioStartupComplete_;
    if (isCurrent) {
      stream_.reset();
      if (systemStreamStartedAtNanoseconds_ && *systemStreamStartedAtNanoseconds_ <= now &&
          now - *systemStreamStartedAtNanoseconds_ >= systemStreamStableResetNanoseconds) {
        systemStreamRestartAttempts_ = 0;
      }
    }
    recover = isCurrent && startupComplete && !stopping && !recovering &&
              systemStreamRestartAttempts_ <
                  static_cast<int>(systemStreamRetryDelaysNanoseconds.size()) &&
              reason == platform::StreamStopReason::stoppedBySystem;
    if (recover) timeline_.openSystemOutageLocked(now);
  }
  if (!isCurrent || stopping || recovering) return;
  if (!startupComplete) {
    systemAudioStartup_.cancel();
  } else if (recover) {
    tasks_.run("system-stream-recovery", [this] { recoverSystemCapture(); });
  } else {
    finishAfterCaptureInterruption();
  }
}

void CaptureController::recoverSystemCapture() {
  while (true) {
    std::optional<std::uint64_t> delay;
    int attempt = 0;
    bool stopping = false;
    {
      std::lock_guard lock(stateLock_);
      stopping = flags_.stopping;
      const auto limit = static_cast<int>(systemStreamRetryDelaysNanoseconds.size());
      if (!flags_.stopping && systemStreamRestartAttempts_ < limit) {
        delay = systemStreamRetryDelaysNanoseconds[static_cast<std::size_t>(
            systemStreamRestartAttempts_)];
        attempt = ++systemStreamRestartAttempts_;
      }
    }
    if (!delay) {
      if (!stopping) finishAfterCaptureInterruption();
      return;
    }
    events_.emit("recording.recovery",
                 Json{{"phase", "recovering"},
                      {"attempt", attempt},
                      {"retryDelayMs", static_cast<std::int64_t>(*delay / 1'000'000)},
                      {"gapMs", timeline_.systemOutageMilliseconds()}});
    time_.sleepFor(nanoseconds(*delay));
    if (isStopping()) return;
    if (startScreenCaptureKit(false)) continue;

    // The outage is closed and filled under the track-write lock, so audio of the new stream,
    // which passes the write check from this moment on, lands behind the silence.
    std::uint64_t gap = 0;
    {
      const auto tracks = timeline_.lockTracks();
      {
        std::lock_guard lock(stateLock_);
        if (flags_.stopping) return;
        gap = timeline_.systemOutageNanosecondsLocked(nowNanoseconds());
        timeline_.closeSystemOutageLocked();
      }
      timeline_.appendSystemSilence(tracks, CaptureTimeline::samplesForNanoseconds(gap));
    }
    events_.emit("recording.recovery", Json{{"phase", "recovered"},
                                            {"attempt", attempt},
                                            {"retryDelayMs", 0},
                                            {"gapMs", static_cast<std::int64_t>(gap / 1'000'000)}});
    return;
  }
}

void CaptureController::consumeProcessTapAudio(const platform::PcmBufferView& buffer) {
  {
    std::lock_guard lock(stateLock_);
    if (!processTapCapture_ || systemAudioBackend_ != SystemAudioBackend::processTap ||
        flags_.paused || flags_.stopping) {
      return;
    }
  }
  systemConverter_.convert(buffer, [this](const float* samples, std::int64_t count) {
    appendSystemAudio(samples, count);
  });
}

void CaptureController::processTapInterrupted() {
  bool active = false;
  bool startupComplete = false;
  {
    std::lock_guard lock(stateLock_);
    active = processTapCapture_ && !flags_.stopping &&
             systemAudioBackend_ == SystemAudioBackend::processTap;
    startupComplete = systemAudioStartupComplete_;
  }
  if (!active) return;
  if (startupComplete) {
    finishAfterCaptureInterruption();
  } else {
    systemAudioStartup_.cancel();
  }
}

}  // namespace orvix::capture
