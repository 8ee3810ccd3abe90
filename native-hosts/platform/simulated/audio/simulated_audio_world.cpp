#include "platform/simulated/audio/simulated_audio_world.h"

#include <algorithm>

namespace orvix::platform::simulated {

namespace {

StreamStopReason stopReason(bool stoppedBySystem) {
  return stoppedBySystem ? StreamStopReason::stoppedBySystem : StreamStopReason::failed;
}

// Takes one from a "the first N calls fail" budget.
bool takeOne(int& budget) {
  if (budget <= 0) return false;
  --budget;
  return true;
}

}  // namespace

// ---- stream

SimulatedStream::SimulatedStream(SimulatedAudioWorld& world, StreamConfiguration configuration,
                                 ScreenCaptureStreamClient& client, bool silent)
    : world_(world), configuration_(configuration), client_(client), silent_(silent) {
  SourceSpec spec{AudioFormat{static_cast<double>(configuration.sampleRate),
                              static_cast<std::uint32_t>(std::max(1, configuration.channelCount)),
                              SampleKind::float32, false},
                  SignalSpec{}, 1024, Duration{0}, 3};
  {
    std::lock_guard lock(world.specLock());
    if (world.spec().screenCapture.source) spec = *world.spec().screenCapture.source;
  }
  if (!(spec.format.sampleRate > 0)) spec.format.sampleRate = 16000;
  source_ = std::make_unique<SimulatedSource>(world.time(), spec);
}

SimulatedStream::~SimulatedStream() { source_->stop(); }

std::optional<ScreenCaptureFailure> SimulatedStream::addOutput(StreamOutputType type,
                                                               SerialQueue& queue) {
  if (type == StreamOutputType::audio) audioQueue_ = &queue;
  return std::nullopt;
}

bool SimulatedStream::capturing() const {
  std::lock_guard lock(mutex_);
  return capturing_;
}

std::optional<ScreenCaptureFailure> SimulatedStream::startCapture() {
  ++world_.counters().streamStarts;
  Duration firstDelay{0};
  Duration startDelay{0};
  {
    std::lock_guard lock(world_.specLock());
    auto& spec = world_.spec().screenCapture;
    if (takeOne(spec.failingStarts)) return ScreenCaptureFailure::failed;
    firstDelay = spec.firstAudioDelay;
    startDelay = spec.startDelay;
  }
  if (startDelay > Duration{0}) world_.time().sleepFor(startDelay);
  {
    std::lock_guard lock(mutex_);
    capturing_ = true;
  }
  world_.streamStarted(shared_from_this());
  if (!silent_ && audioQueue_ != nullptr) {
    source_->start(*audioQueue_, firstDelay, [this](const PcmBufferView& view) {
      if (world_.systemStalled()) return;
      AudioSampleBuffer buffer{true, view.format, view.frameLength, view.planes, view.captureTime};
      client_.streamDidOutputAudio(*this, buffer);
    });
  }
  return std::nullopt;
}

std::optional<ScreenCaptureFailure> SimulatedStream::stopCapture() {
  ++world_.counters().streamStops;
  {
    std::lock_guard lock(mutex_);
    capturing_ = false;
  }
  source_->stop();
  return std::nullopt;
}

void SimulatedStream::simulateStop(StreamStopReason reason) {
  {
    std::lock_guard lock(mutex_);
    if (!capturing_) return;
    capturing_ = false;
  }
  source_->stop();
  client_.streamDidStop(*this, reason);
}

// ---- screen capture

bool SimulatedScreenCapture::preflightAccess() {
  std::lock_guard lock(world_.specLock());
  return world_.spec().screenCapture.accessGranted;
}

bool SimulatedScreenCapture::requestAccess() {
  ++world_.counters().accessRequests;
  std::lock_guard lock(world_.specLock());
  auto& spec = world_.spec().screenCapture;
  if (spec.grantOnRequest) spec.accessGranted = true;
  return spec.accessGranted;
}

std::variant<ShareableContent, ScreenCaptureFailure> SimulatedScreenCapture::shareableContent() {
  std::lock_guard lock(world_.specLock());
  const auto& spec = world_.spec().screenCapture;
  if (spec.shareableContentFails) return ScreenCaptureFailure::failed;
  ShareableContent content;
  for (int i = 0; i < spec.displayCount; ++i) {
    content.displays.push_back(CaptureDisplay{static_cast<std::uint32_t>(i + 1)});
  }
  return content;
}

std::shared_ptr<ScreenCaptureStream> SimulatedScreenCapture::makeStream(
    const StreamConfiguration& configuration, ScreenCaptureStreamClient& client) {
  ++world_.counters().streamsMade;
  bool silent = false;
  {
    std::lock_guard lock(world_.specLock());
    silent = takeOne(world_.spec().screenCapture.silentStarts);
  }
  return std::make_shared<SimulatedStream>(world_, configuration, client, silent);
}

// ---- microphone

SimulatedAudioEngine::SimulatedAudioEngine(SimulatedAudioWorld& world, bool startFails)
    : world_(world),
      startFails_(startFails),
      tapThread_(world.time().makeSerialQueue("simulated-microphone-tap")) {}

SimulatedAudioEngine::~SimulatedAudioEngine() {
  if (source_) source_->stop();
}

std::optional<AudioFormat> SimulatedAudioEngine::inputFormat() {
  std::lock_guard lock(world_.specLock());
  const auto& spec = world_.spec().microphone;
  if (!spec.hasInputDevice) return AudioFormat{0, 0, SampleKind::float32, false};
  return spec.source.format;
}

bool SimulatedAudioEngine::installTap(std::uint32_t bufferFrames,
                                      std::function<void(const PcmBufferView&)> onBuffer) {
  onBuffer_ = std::move(onBuffer);
  bufferFrames_ = bufferFrames;
  return true;
}

void SimulatedAudioEngine::removeTap() {
  if (source_) source_->stop();
}

bool SimulatedAudioEngine::start() {
  ++world_.counters().engineStarts;
  if (startFails_) return false;
  SourceSpec spec;
  Duration firstDelay{0};
  bool delivers = true;
  {
    std::lock_guard lock(world_.specLock());
    const auto& microphone = world_.spec().microphone;
    spec = microphone.source;
    firstDelay = microphone.firstAudioDelay;
    delivers = microphone.deliversAudio;
  }
  if (bufferFrames_ > 0) spec.bufferFrames = bufferFrames_;
  if (!delivers || !onBuffer_) return true;
  source_ = std::make_unique<SimulatedSource>(world_.time(), spec);
  source_->start(*tapThread_, firstDelay, [this](const PcmBufferView& view) {
    if (!world_.microphoneStalled()) onBuffer_(view);
  });
  return true;
}

void SimulatedAudioEngine::stop() {
  ++world_.counters().engineStops;
  if (source_) source_->stop();
}

MicrophoneAuthorization SimulatedMicrophone::authorizationStatus() {
  std::lock_guard lock(world_.specLock());
  const auto& value = world_.spec().microphone.authorization;
  if (value == "authorized") return MicrophoneAuthorization::authorized;
  if (value == "denied") return MicrophoneAuthorization::denied;
  if (value == "restricted") return MicrophoneAuthorization::restricted;
  return MicrophoneAuthorization::notDetermined;
}

std::unique_ptr<AudioEngine> SimulatedMicrophone::makeEngine() {
  const bool rebuild = ++world_.counters().enginesMade > 1;
  bool fails = false;
  {
    std::lock_guard lock(world_.specLock());
    auto& spec = world_.spec().microphone;
    fails = takeOne(spec.failingStarts) || (rebuild && takeOne(spec.failingRebuilds));
  }
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = engineMadeHook_;
  }
  if (hook) hook();
  return std::make_unique<SimulatedAudioEngine>(world_, fails);
}

std::size_t SimulatedMicrophone::listenerCount() {
  std::lock_guard lock(mutex_);
  return listeners_.size();
}

void SimulatedMicrophone::setEngineMadeHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  engineMadeHook_ = std::move(hook);
}

std::optional<std::uint64_t> SimulatedMicrophone::addDefaultInputListener(
    SerialQueue& queue, std::function<void()> onChange) {
  std::lock_guard lock(mutex_);
  const std::uint64_t token = nextToken_++;
  listeners_[token] = {&queue, std::move(onChange)};
  return token;
}

void SimulatedMicrophone::removeDefaultInputListener(std::uint64_t token) {
  std::lock_guard lock(mutex_);
  listeners_.erase(token);
}

void SimulatedMicrophone::simulateDefaultInputChange() {
  std::lock_guard lock(mutex_);
  for (auto& [token, listener] : listeners_) listener.first->async(listener.second);
}

// ---- world

SimulatedAudioWorld::SimulatedAudioWorld(TimeSource& time, AudioScenario scenario)
    : time_(time),
      createdAt_(time.clock().uptime()),
      scenario_(std::move(scenario)),
      screenCapture_(*this),
      processTaps_(*this),
      microphone_(*this),
      platformQueue_(time.makeSerialQueue("simulated-audio-platform")) {
  for (const auto& stop : scenario_.screenCapture.stops) {
    platformQueue_->asyncAfter(stop.at, [this, bySystem = stop.stoppedBySystem] {
      if (auto stream = currentStream()) {
        stream->simulateStop(stopReason(bySystem));
      }
    });
  }
  if (scenario_.processTap.lostAt) {
    platformQueue_->asyncAfter(*scenario_.processTap.lostAt,
                               [this] { processTaps_.simulateLoss(); });
  }
  for (const auto& change : scenario_.microphone.defaultInputChanges) {
    platformQueue_->asyncAfter(change.at, [this, device = change.device] {
      {
        std::lock_guard lock(specLock_);
        scenario_.microphone.source = device;
      }
      microphone_.simulateDefaultInputChange();
    });
  }
}

SimulatedAudioWorld::~SimulatedAudioWorld() { platformQueue_.reset(); }

Audio SimulatedAudioWorld::audio() {
  return Audio{screenCapture_, scenario_.processTap.available ? &processTaps_ : nullptr,
               microphone_};
}

std::shared_ptr<SimulatedStream> SimulatedAudioWorld::currentStream() {
  std::lock_guard lock(mutex_);
  auto stream = currentStream_.lock();
  if (stream && !stream->capturing()) return nullptr;
  return stream;
}

std::optional<StreamConfiguration> SimulatedAudioWorld::lastConfiguration() {
  std::lock_guard lock(mutex_);
  return lastConfiguration_;
}

void SimulatedAudioWorld::streamStarted(const std::shared_ptr<SimulatedStream>& stream) {
  std::lock_guard lock(mutex_);
  currentStream_ = stream;
  lastConfiguration_ = stream->configuration();
}

void SimulatedAudioWorld::simulateStreamStop(bool stoppedBySystem) {
  platformQueue_->async([this, stoppedBySystem] {
    if (auto stream = currentStream()) {
      stream->simulateStop(stopReason(stoppedBySystem));
    }
  });
}

void SimulatedAudioWorld::simulateTapLoss() {
  platformQueue_->async([this] { processTaps_.simulateLoss(); });
}

void SimulatedAudioWorld::setMicrophoneStalled(bool stalled) { microphoneStalled_ = stalled; }

bool SimulatedAudioWorld::microphoneStalled() {
  if (microphoneStalled_) return true;
  const Duration since = time_.clock().uptime() - createdAt_;
  std::lock_guard lock(specLock_);
  return std::any_of(scenario_.microphone.stalls.begin(), scenario_.microphone.stalls.end(),
                     [since](const MicrophoneStall& stall) {
                       return since >= stall.at &&
                              (!stall.length || since < stall.at + *stall.length);
                     });
}

}  // namespace orvix::platform::simulated
