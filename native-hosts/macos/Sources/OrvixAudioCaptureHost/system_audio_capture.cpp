// Picking and starting the system-audio backend, and keeping a screen-capture stream alive.
#include "OrvixAudioCaptureHost/system_audio_capture.h"

#include <chrono>

#include "OrvixAudioCaptureHost/capture_constants.h"

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

SystemAudioCapture::SystemAudioCapture(platform::Audio audio, TimeSource& time,
                                       CaptureEvents& events, CaptureTimeline& timeline,
                                       std::mutex& stateLock, const RecordingFlags& flags,
                                       TaskRunner& tasks, std::function<void()> lostForGood)
    : audio_(audio),
      time_(time),
      events_(events),
      timeline_(timeline),
      stateLock_(stateLock),
      flags_(flags),
      tasks_(tasks),
      lostForGood_(std::move(lostForGood)),
      startup_(time),
      audioQueue_(time.makeSerialQueue(queueLabel(".audio-capture.system"))),
      videoQueue_(time.makeSerialQueue(queueLabel(".audio-capture.video"))) {}

bool SystemAudioCapture::isStopping() {
  std::lock_guard lock(stateLock_);
  return flags_.stopping;
}

void SystemAudioCapture::appendAudio(const float* samples, std::int64_t count) {
  if (timeline_.appendSystemAudio(samples, count, converter_.runCaptureTime())) {
    startup_.markReady();
  }
  converter_.setRateCorrection(timeline_.systemRateCorrection());
}

SystemAudioCapture::Sources SystemAudioCapture::takeSourcesLocked() {
  return Sources{stream_, std::move(processTap_)};
}

std::optional<CaptureError> SystemAudioCapture::start() {
  if (audio_.processTaps == nullptr) return startScreenCaptureKitUntilReady(true, false);

  auto tap = std::make_shared<ProcessTapCapture>(
      *audio_.processTaps, time_,
      [this](const platform::PcmBufferView& buffer) { consumeProcessTapAudio(buffer); },
      [this] { time_.mainLoop().post(lifetime_.guard([this] { processTapInterrupted(); })); });
  startup_.reset();

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
      processTap_ = tap;
      backend_ = SystemAudioBackend::processTap;
      fallback_ = false;
    }
  }
  if (refused) return fallBack();

  const auto result = startup_.wait(startupTimeout());
  {
    std::lock_guard lock(stateLock_);
    if (result == SystemAudioStartupResult::ready && !flags_.stopping && processTap_ == tap) {
      startupComplete_ = true;
      return std::nullopt;
    }
    if (processTap_ == tap) {
      processTap_.reset();
      backend_.reset();
    }
  }
  return fallBack();
}

std::optional<CaptureError> SystemAudioCapture::startScreenCaptureKitUntilReady(
    bool requirePermission, bool fallback) {
  CaptureError lastError = CaptureError::captureFailed;
  for (int attempt = 0; attempt < 2; ++attempt) {
    startup_.reset();
    const auto startError = startScreenCaptureKit(requirePermission && attempt == 0);
    if (startError == CaptureError::screenPermissionDenied) return startError;
    if (startError) {
      lastError = *startError;
    } else {
      const auto result = startup_.wait(startupTimeout());
      {
        std::lock_guard lock(stateLock_);
        if (result == SystemAudioStartupResult::ready && !flags_.stopping && stream_) {
          backend_ = SystemAudioBackend::screenCaptureKit;
          fallback_ = fallback;
          startupComplete_ = true;
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

std::optional<CaptureError> SystemAudioCapture::startScreenCaptureKit(bool requirePermission) {
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
  if (stream_ == controlled && !flags_.stopping) streamStartedAtNanoseconds_ = now;
  return std::nullopt;
}

void SystemAudioCapture::stopScreenCaptureKitStartupAttempt() {
  std::shared_ptr<ControlledStream> stream;
  {
    std::lock_guard lock(stateLock_);
    stream = std::move(stream_);
    stream_.reset();
    streamStartedAtNanoseconds_.reset();
  }
  // When the stop sequence claimed this stream as well, only the first of the two stops it.
  if (stream) stream->stop();
}

bool SystemAudioCapture::isCurrentStreamLocked(const platform::ScreenCaptureStream& stream) const {
  return stream_ && &stream_->stream() == &stream;
}

void SystemAudioCapture::streamDidOutputAudio(platform::ScreenCaptureStream& stream,
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
  converter_.convert(
      buffer, [this](const float* samples, std::int64_t count) { appendAudio(samples, count); });
}

void SystemAudioCapture::streamDidOutputScreen(platform::ScreenCaptureStream&) {}

void SystemAudioCapture::streamDidStop(platform::ScreenCaptureStream& stream,
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
    startupComplete = startupComplete_;
    if (isCurrent) {
      stream_.reset();
      if (streamStartedAtNanoseconds_ && *streamStartedAtNanoseconds_ <= now &&
          now - *streamStartedAtNanoseconds_ >= systemStreamStableResetNanoseconds) {
        streamRestartAttempts_ = 0;
      }
    }
    recover =
        isCurrent && startupComplete && !stopping && !recovering &&
        streamRestartAttempts_ < static_cast<int>(systemStreamRetryDelaysNanoseconds.size()) &&
        reason == platform::StreamStopReason::stoppedBySystem;
    if (recover) timeline_.openSystemOutageLocked(now);
  }
  if (!isCurrent || stopping || recovering) return;
  if (!startupComplete) {
    startup_.cancel();
  } else if (recover) {
    tasks_.run("system-stream-recovery", [this] { recoverStream(); });
  } else {
    lostForGood_();
  }
}

void SystemAudioCapture::recoverStream() {
  while (true) {
    std::optional<std::uint64_t> delay;
    int attempt = 0;
    bool stopping = false;
    {
      std::lock_guard lock(stateLock_);
      stopping = flags_.stopping;
      const auto limit = static_cast<int>(systemStreamRetryDelaysNanoseconds.size());
      if (!flags_.stopping && streamRestartAttempts_ < limit) {
        delay =
            systemStreamRetryDelaysNanoseconds[static_cast<std::size_t>(streamRestartAttempts_)];
        attempt = ++streamRestartAttempts_;
      }
    }
    if (!delay) {
      if (!stopping) lostForGood_();
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

void SystemAudioCapture::consumeProcessTapAudio(const platform::PcmBufferView& buffer) {
  {
    std::lock_guard lock(stateLock_);
    if (!processTap_ || backend_ != SystemAudioBackend::processTap || flags_.paused ||
        flags_.stopping) {
      return;
    }
  }
  converter_.convert(
      buffer, [this](const float* samples, std::int64_t count) { appendAudio(samples, count); });
}

void SystemAudioCapture::processTapInterrupted() {
  bool active = false;
  bool startupComplete = false;
  {
    std::lock_guard lock(stateLock_);
    active = processTap_ && !flags_.stopping && backend_ == SystemAudioBackend::processTap;
    startupComplete = startupComplete_;
  }
  if (!active) return;
  if (startupComplete) {
    lostForGood_();
  } else {
    startup_.cancel();
  }
}

}  // namespace orvix::capture
