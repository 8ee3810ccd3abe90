// The microphone: start-up, engine replacement, the stall watchdog and route changes.
#include <chrono>

#include "OrvixAudioCaptureHost/capture_constants.h"
#include "OrvixAudioCaptureHost/capture_controller.h"

namespace orvix::capture {

namespace {

constexpr int kMicrophoneRestartLimit = 3;
constexpr std::uint64_t kMicrophoneAttemptResetNanoseconds = 5'000'000'000;
constexpr auto kRouteChangeDebounce = std::chrono::milliseconds(250);

}  // namespace

std::optional<CaptureError> CaptureController::startMicrophoneIfAvailable(bool& available) {
  if (audio_.microphone.authorizationStatus() != platform::MicrophoneAuthorization::authorized) {
    return CaptureError::microphonePermissionDenied;
  }
  // A stop that arrived meanwhile has already torn the microphone down; an engine started now
  // would run unowned.
  if (isStopping()) return CaptureError::captureFailed;
  available = replaceMicrophoneEngine("initial", 0);
  return std::nullopt;
}

bool CaptureController::replaceMicrophoneEngine(std::string_view reason, int attempt) {
  std::unique_ptr<platform::AudioEngine> old = std::move(microphoneEngine_);
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(stateLock_);
    generation = ++microphoneGeneration_;
  }
  if (old) {
    old->stop();
    if (microphoneTapInstalled_) old->removeTap();
  }
  microphoneTapInstalled_ = false;
  microphoneQueue_->sync([this] {
    microphoneConverter_ = std::make_unique<PcmConverter>();
    timeline_.realignMicrophone();
  });

  auto engine = audio_.microphone.makeEngine();
  bool started = false;
  if (engine && installMicrophoneTap(*engine, generation)) {
    engine->prepare();
    started = engine->start();
  }
  if (!started) {
    if (engine) {
      engine->stop();
      if (microphoneTapInstalled_) engine->removeTap();
    }
    microphoneTapInstalled_ = false;
    return false;
  }
  microphoneEngine_ = std::move(engine);
  const std::uint64_t now = nowNanoseconds();
  {
    std::lock_guard lock(stateLock_);
    microphoneLastProgressAt_ = now;
  }
  microphoneObservedSamples_ = timeline_.microphoneSampleCount();
  if (reason != "initial") {
    events_.emit(
        "recording.microphone",
        Json{{"phase", "recovering"}, {"attempt", attempt}, {"reason", std::string(reason)}});
  }
  return true;
}

bool CaptureController::installMicrophoneTap(platform::AudioEngine& engine,
                                             std::uint64_t generation) {
  const auto format = engine.inputFormat();
  if (!format || format->channelCount == 0 || !(format->sampleRate > 0)) return false;
  const bool installed = engine.installTap(
      microphoneTapBufferFrames, [this, generation](const platform::PcmBufferView& buffer) {
        if (!shouldWriteMicrophoneAudio(generation)) return;
        microphoneQueue_->sync([this, &buffer] {
          microphoneConverter_->convert(buffer, [this](const float* samples, std::int64_t count) {
            timeline_.appendMicrophoneAudio(samples, count);
          });
        });
        time_.mainLoop().post(
            weakly([this, generation] { microphoneDidReceiveAudio(generation); }));
      });
  if (installed) microphoneTapInstalled_ = true;
  return installed;
}

bool CaptureController::shouldWriteMicrophoneAudio(std::uint64_t generation) {
  std::lock_guard lock(stateLock_);
  return generation == microphoneGeneration_ && !flags_.paused && !flags_.stopping;
}

void CaptureController::microphoneDidReceiveAudio(std::uint64_t generation) {
  {
    std::lock_guard lock(stateLock_);
    if (generation != microphoneGeneration_ || flags_.stopping) return;
  }
  if (!microphoneRecoveryPending_) return;
  microphoneRecoveryPending_ = false;
  microphoneRestartAttempts_ = 0;
  microphoneRecoveryExhausted_ = false;
  {
    std::lock_guard lock(stateLock_);
    flags_.microphoneAvailable = true;
    microphoneLastProgressAt_ = nowNanoseconds();
  }
  events_.emit("recording.microphone", Json{{"phase", "recovered"}, {"attempt", 1}});
}

void CaptureController::recoverStalledMicrophone() {
  if (!arguments_.meeting || isStopping()) return;
  const std::uint64_t now = nowNanoseconds();
  const std::int64_t observed = timeline_.microphoneSampleCount();
  bool paused = false;
  std::uint64_t lastProgressAt = 0;
  {
    std::lock_guard lock(stateLock_);
    paused = flags_.paused;
    lastProgressAt = microphoneLastProgressAt_;
  }
  if (paused || observed > microphoneObservedSamples_) {
    microphoneObservedSamples_ = observed;
    {
      std::lock_guard lock(stateLock_);
      microphoneLastProgressAt_ = now;
    }
    if (now - microphoneLastRestartAt_ > kMicrophoneAttemptResetNanoseconds) {
      microphoneRestartAttempts_ = 0;
    }
    return;
  }
  if (now < lastProgressAt || now - lastProgressAt < microphoneStallNanoseconds) return;
  if (microphoneRecoveryExhausted_) return;
  microphoneRecoveryPending_ = false;
  if (microphoneRestartAttempts_ < kMicrophoneRestartLimit) {
    ++microphoneRestartAttempts_;
    microphoneLastRestartAt_ = now;
    {
      std::lock_guard lock(stateLock_);
      microphoneLastProgressAt_ = now;
    }
    rebuildMicrophoneEngine("stalled", microphoneRestartAttempts_);
    return;
  }
  microphoneRecoveryExhausted_ = true;
  {
    std::lock_guard lock(stateLock_);
    flags_.microphoneAvailable = false;
  }
  events_.emit("recording.microphone",
               Json{{"phase", "unavailable"}, {"attempt", microphoneRestartAttempts_}});
}

void CaptureController::rebuildMicrophoneEngine(std::string_view reason, int attempt) {
  if (microphoneRecoveryPending_ || isStopping()) return;
  microphoneRecoveryPending_ = true;
  {
    std::lock_guard lock(stateLock_);
    flags_.microphoneAvailable = false;
  }
  if (!replaceMicrophoneEngine(reason, attempt)) {
    microphoneRecoveryPending_ = false;
    events_.emit("recording.microphone", Json{{"phase", "unavailable"}, {"attempt", attempt}});
  }
}

bool CaptureController::installDefaultInputDeviceListener() {
  if (microphoneRouteListener_) return true;
  // The stop sequence removes the listener on this thread after it set `flags_.stopping`; installed
  // past that point, nobody would ever remove it.
  if (isStopping()) return false;
  microphoneRouteListener_ = audio_.microphone.addDefaultInputListener(
      *microphoneRouteQueue_,
      [this] { time_.mainLoop().post(weakly([this] { scheduleMicrophoneRouteRecovery(); })); });
  return microphoneRouteListener_.has_value();
}

void CaptureController::removeDefaultInputDeviceListener() {
  if (!microphoneRouteListener_) return;
  audio_.microphone.removeDefaultInputListener(*microphoneRouteListener_);
  microphoneRouteListener_.reset();
}

void CaptureController::scheduleMicrophoneRouteRecovery() {
  if (!arguments_.meeting || isStopping()) return;
  const std::uint64_t token = ++microphoneRouteChangeToken_;
  time_.mainLoop().scheduleAfter(kRouteChangeDebounce, weakly([this, token] {
                                   if (token != microphoneRouteChangeToken_ || isStopping()) return;
                                   microphoneRestartAttempts_ = 0;
                                   microphoneRecoveryExhausted_ = false;
                                   rebuildMicrophoneEngine("default-input-changed", 1);
                                 }));
}

void CaptureController::tearDownMicrophone() {
  removeDefaultInputDeviceListener();
  if (!microphoneEngine_) return;
  microphoneEngine_->stop();
  if (microphoneTapInstalled_) microphoneEngine_->removeTap();
  microphoneTapInstalled_ = false;
}

}  // namespace orvix::capture
