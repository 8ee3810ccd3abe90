// The microphone: start-up, engine replacement, the stall watchdog and route changes.
#include "OrvixAudioCaptureHost/microphone_capture.h"

#include <chrono>

#include "OrvixAudioCaptureHost/capture_constants.h"

namespace orvix::capture {

namespace {

constexpr int kMicrophoneRestartLimit = 3;
constexpr std::uint64_t kMicrophoneAttemptResetNanoseconds = 5'000'000'000;
constexpr auto kRouteChangeDebounce = std::chrono::milliseconds(250);

}  // namespace

MicrophoneCapture::MicrophoneCapture(platform::Microphone& microphone, TimeSource& time,
                                     CaptureEvents& events, CaptureTimeline& timeline,
                                     std::mutex& stateLock, RecordingFlags& flags)
    : microphone_(microphone),
      time_(time),
      events_(events),
      timeline_(timeline),
      stateLock_(stateLock),
      flags_(flags),
      converter_(std::make_unique<PcmConverter>()),
      queue_(time.makeSerialQueue(queueLabel(".audio-capture.microphone"))),
      routeQueue_(time.makeSerialQueue(queueLabel(".audio-capture.microphone-route"))) {}

MicrophoneCapture::~MicrophoneCapture() { tearDown(); }

bool MicrophoneCapture::isStopping() {
  std::lock_guard lock(stateLock_);
  return flags_.stopping;
}

std::optional<CaptureError> MicrophoneCapture::start(bool& available) {
  if (microphone_.authorizationStatus() != platform::MicrophoneAuthorization::authorized) {
    return CaptureError::microphonePermissionDenied;
  }
  // A stop that arrived meanwhile has already torn the microphone down; an engine started now
  // would run unowned.
  if (isStopping()) return CaptureError::captureFailed;
  available = replaceEngine("initial", 0);
  return std::nullopt;
}

bool MicrophoneCapture::replaceEngine(std::string_view reason, int attempt) {
  std::unique_ptr<platform::AudioEngine> old = std::move(engine_);
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(stateLock_);
    generation = ++generation_;
  }
  if (old) {
    old->stop();
    if (tapInstalled_) old->removeTap();
  }
  tapInstalled_ = false;
  queue_->sync([this] {
    converter_ = std::make_unique<PcmConverter>();
    timeline_.realignMicrophone();
  });

  auto engine = microphone_.makeEngine();
  bool started = false;
  if (engine && installTap(*engine, generation)) {
    engine->prepare();
    started = engine->start();
  }
  if (!started) {
    if (engine) {
      engine->stop();
      if (tapInstalled_) engine->removeTap();
    }
    tapInstalled_ = false;
    return false;
  }
  engine_ = std::move(engine);
  watching_ = true;
  deliveredGeneration_ = 0;
  const std::uint64_t now = time_.clock().uptimeNanoseconds();
  {
    std::lock_guard lock(stateLock_);
    lastProgressAt_ = now;
  }
  if (reason != "initial") {
    events_.emit(
        "recording.microphone",
        Json{{"phase", "recovering"}, {"attempt", attempt}, {"reason", std::string(reason)}});
  }
  return true;
}

bool MicrophoneCapture::installTap(platform::AudioEngine& engine, std::uint64_t generation) {
  const auto format = engine.inputFormat();
  if (!format || format->channelCount == 0 || !(format->sampleRate > 0)) return false;
  const bool installed = engine.installTap(
      microphoneTapBufferFrames, [this, generation](const platform::PcmBufferView& buffer) {
        if (!shouldWriteAudio(generation)) return;
        queue_->sync([this, &buffer] {
          converter_->convert(buffer, [this](const float* samples, std::int64_t count) {
            timeline_.appendMicrophoneAudio(samples, count, converter_->runCaptureTime());
          });
          converter_->setRateCorrection(timeline_.microphoneRateCorrection());
        });
        deliveredGeneration_ = generation;
        // The watchdog reads the generation on its tick; the main thread hears of a buffer only
        // while a rebuilt engine is to be reported back, one note at a time.
        if (!recoveryPending_ || deliveryNotePending_.exchange(true)) return;
        time_.mainLoop().post(lifetime_.guard([this, generation] {
          deliveryNotePending_ = false;
          didReceiveAudio(generation);
        }));
      });
  if (installed) tapInstalled_ = true;
  return installed;
}

bool MicrophoneCapture::shouldWriteAudio(std::uint64_t generation) {
  std::lock_guard lock(stateLock_);
  return generation == generation_ && !flags_.paused && !flags_.stopping;
}

void MicrophoneCapture::didReceiveAudio(std::uint64_t generation) {
  {
    std::lock_guard lock(stateLock_);
    if (generation != generation_ || flags_.stopping) return;
  }
  if (!recoveryPending_) return;
  recoveryPending_ = false;
  restartAttempts_ = 0;
  recoveryExhausted_ = false;
  {
    std::lock_guard lock(stateLock_);
    flags_.microphoneAvailable = true;
    lastProgressAt_ = time_.clock().uptimeNanoseconds();
  }
  events_.emit("recording.microphone", Json{{"phase", "recovered"}, {"attempt", 1}});
}

void MicrophoneCapture::recoverIfStalled() {
  if (isStopping() || !watching_) return;
  const std::uint64_t now = time_.clock().uptimeNanoseconds();
  bool paused = false;
  std::uint64_t lastProgressAt = 0;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(stateLock_);
    paused = flags_.paused;
    lastProgressAt = lastProgressAt_;
    generation = generation_;
  }
  const bool delivered = deliveredGeneration_.exchange(0) == generation;
  if (paused || delivered) {
    {
      std::lock_guard lock(stateLock_);
      lastProgressAt_ = now;
    }
    if (now - lastRestartAt_ > kMicrophoneAttemptResetNanoseconds) {
      restartAttempts_ = 0;
    }
    return;
  }
  if (now < lastProgressAt || now - lastProgressAt < microphoneStallNanoseconds) return;
  if (recoveryExhausted_) return;
  recoveryPending_ = false;
  if (restartAttempts_ < kMicrophoneRestartLimit) {
    ++restartAttempts_;
    lastRestartAt_ = now;
    {
      std::lock_guard lock(stateLock_);
      lastProgressAt_ = now;
    }
    rebuildEngine("stalled", restartAttempts_);
    return;
  }
  recoveryExhausted_ = true;
  {
    std::lock_guard lock(stateLock_);
    flags_.microphoneAvailable = false;
  }
  events_.emit("recording.microphone",
               Json{{"phase", "unavailable"}, {"attempt", restartAttempts_}});
}

void MicrophoneCapture::rebuildEngine(std::string_view reason, int attempt) {
  if (recoveryPending_ || isStopping()) return;
  recoveryPending_ = true;
  {
    std::lock_guard lock(stateLock_);
    flags_.microphoneAvailable = false;
  }
  if (!replaceEngine(reason, attempt)) {
    recoveryPending_ = false;
    events_.emit("recording.microphone", Json{{"phase", "unavailable"}, {"attempt", attempt}});
  }
}

bool MicrophoneCapture::installRouteListener() {
  if (routeListener_) return true;
  // The stop sequence removes the listener on this thread after it set the stopping flag;
  // installed past that point, nobody would ever remove it.
  if (isStopping()) return false;
  routeListener_ = microphone_.addDefaultInputListener(*routeQueue_, [this] {
    time_.mainLoop().post(lifetime_.guard([this] { scheduleRouteRecovery(); }));
  });
  return routeListener_.has_value();
}

void MicrophoneCapture::removeRouteListener() {
  if (!routeListener_) return;
  microphone_.removeDefaultInputListener(*routeListener_);
  routeListener_.reset();
}

void MicrophoneCapture::scheduleRouteRecovery() {
  if (isStopping()) return;
  const std::uint64_t token = ++routeChangeToken_;
  time_.mainLoop().scheduleAfter(kRouteChangeDebounce, lifetime_.guard([this, token] {
    if (token != routeChangeToken_ || isStopping()) return;
    restartAttempts_ = 0;
    recoveryExhausted_ = false;
    // A rebuild still waiting for its first buffer waits on the device that has just gone away.
    recoveryPending_ = false;
    rebuildEngine("default-input-changed", 1);
  }));
}

void MicrophoneCapture::tearDown() {
  removeRouteListener();
  if (!engine_) return;
  engine_->stop();
  if (tapInstalled_) engine_->removeTap();
  tapInstalled_ = false;
}

}  // namespace orvix::capture
