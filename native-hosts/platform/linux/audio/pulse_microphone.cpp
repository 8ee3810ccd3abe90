#include "platform/linux/audio/pulse_microphone.h"

#include <algorithm>

#include "platform/linux/audio/pulse_capture_time.h"

namespace orvix::platform::pulse {

// ---- engine

PulseInputEngine::~PulseInputEngine() { stop(); }

std::optional<AudioFormat> PulseInputEngine::inputFormat() {
  if (source_) return recordingFormat(*source_);
  if (!connection_) connection_ = PulseConnection::open(server_);
  if (!connection_) return std::nullopt;
  const auto defaults = connection_->serverDefaults();
  if (!defaults || defaults->source.empty()) return std::nullopt;
  auto source = connection_->source(defaults->source);
  // A monitor is what the speakers play, not a microphone: with only monitors there is no input.
  if (!source || source->isMonitor) return std::nullopt;
  source_ = std::move(source);
  return recordingFormat(*source_);
}

bool PulseInputEngine::installTap(std::uint32_t bufferFrames,
                                  std::function<void(const PcmBufferView&)> onBuffer) {
  if (bufferFrames == 0) return false;
  std::lock_guard lock(deliveryMutex_);
  bufferFrames_ = bufferFrames;
  onBuffer_ = std::move(onBuffer);
  return true;
}

void PulseInputEngine::removeTap() {
  std::lock_guard lock(deliveryMutex_);
  onBuffer_ = nullptr;
}

bool PulseInputEngine::start() {
  if (recording_) return true;
  if (!inputFormat() || bufferFrames_ == 0) return false;
  {
    std::lock_guard lock(deliveryMutex_);
    running_ = true;
  }
  pending_.clear();
  pendingCaptureTime_.reset();
  recording_ = PulseRecording::open(
      *connection_, *source_, bufferFrames_,
      [this](const float* samples, std::size_t frames, std::optional<std::uint64_t> captureTime) {
        collect(samples, frames, captureTime);
      },
      [this] { streamFailed(); });
  if (!recording_) {
    std::lock_guard lock(deliveryMutex_);
    running_ = false;
  }
  return recording_ != nullptr;
}

void PulseInputEngine::stop() {
  {
    std::lock_guard lock(deliveryMutex_);
    running_ = false;
  }
  recording_.reset();
}

void PulseInputEngine::streamFailed() {
  // The recording records nothing any more (its source went, the server ended it): for the host
  // that is an input that changed, and a rebuild reaches whatever input there is now.
  if (auto listeners = listeners_.lock()) listeners->notify();
}

void PulseInputEngine::collect(const float* samples, std::size_t frames,
                               std::optional<std::uint64_t> captureTime) {
  // The server hands over fragments of its own size; the tap promises buffers of the size asked
  // for, so the frames are gathered and passed on a whole buffer at a time.
  const std::size_t channels = source_->channelCount;
  const std::size_t wanted = static_cast<std::size_t>(bufferFrames_) * channels;
  std::size_t offset = 0;
  const std::size_t total = frames * channels;
  while (offset < total) {
    if (pending_.empty()) {
      pendingCaptureTime_ =
          captureTime ? std::optional(captureTimeAfter(*captureTime, offset / channels,
                                                       source_->sampleRate))
                      : std::nullopt;
    }
    const std::size_t take = std::min(wanted - pending_.size(), total - offset);
    pending_.insert(pending_.end(), samples + offset, samples + offset + take);
    offset += take;
    if (pending_.size() < wanted) break;
    {
      std::lock_guard lock(deliveryMutex_);
      if (running_ && onBuffer_) {
        const void* planes[] = {pending_.data()};
        onBuffer_(PcmBufferView{recordingFormat(*source_), bufferFrames_, planes,
                                pendingCaptureTime_});
      }
    }
    pending_.clear();
  }
}

// ---- default-source watch

bool DefaultSourceWatch::connect() {
  const std::weak_ptr<DefaultSourceWatch> weak = weak_from_this();
  ConnectionEvents events;
  events.defaultsChanged = [this](const ServerDefaults& defaults) {
    if (defaults.source == source_) return;
    source_ = defaults.source;
    listeners_->notify();
  };
  events.serverGone = [this, weak] {
    listeners_->notify();
    // The dead connection is dropped and a new one sought off the loop thread.
    platformQueue_.async([weak] {
      if (auto self = weak.lock()) self->reconnectLater();
    });
  };
  auto connection = PulseConnection::open(server_, std::move(events));
  if (!connection) return false;
  const auto defaults = connection->serverDefaults();
  if (!defaults) return false;
  {
    PulseConnection::Locked locked(*connection);
    source_ = defaults->source;
  }
  std::unique_ptr<PulseConnection> old;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    old = std::move(connection_);
    connection_ = std::move(connection);
  }
  return true;
}

void DefaultSourceWatch::reconnectLater() {
  std::unique_ptr<PulseConnection> dead;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    dead = std::move(connection_);
  }
  dead.reset();
  platformQueue_.asyncAfter(kReconnectInterval, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    if (self->connect()) {
      // Back after an absence: whatever the default source is now, it is new to the engine.
      self->listeners_->notify();
    } else {
      self->reconnectLater();
    }
  });
}

std::uint64_t InputListeners::add(SerialQueue& queue, std::function<void()> onChange) {
  std::lock_guard lock(mutex_);
  const std::uint64_t token = nextToken_++;
  listeners_[token] = {&queue, std::move(onChange)};
  return token;
}

bool InputListeners::remove(std::uint64_t token) {
  std::lock_guard lock(mutex_);
  listeners_.erase(token);
  return listeners_.empty();
}

void DefaultSourceWatch::close() {
  std::unique_ptr<PulseConnection> connection;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    connection = std::move(connection_);
  }
}

void InputListeners::notify() {
  std::lock_guard lock(mutex_);
  for (auto& [token, listener] : listeners_) listener.first->async(listener.second);
}

// ---- microphone

PulseMicrophone::~PulseMicrophone() {
  if (watch_) watch_->close();
}

std::unique_ptr<AudioEngine> PulseMicrophone::makeEngine() {
  return std::make_unique<PulseInputEngine>(server_, listeners_);
}

std::optional<std::uint64_t> PulseMicrophone::addDefaultInputListener(
    SerialQueue& queue, std::function<void()> onChange) {
  std::lock_guard lock(mutex_);
  if (!watch_) {
    auto watch = std::make_shared<DefaultSourceWatch>(server_, platformQueue_, listeners_);
    if (!watch->connect()) return std::nullopt;
    watch_ = std::move(watch);
  }
  return listeners_->add(queue, std::move(onChange));
}

void PulseMicrophone::removeDefaultInputListener(std::uint64_t token) {
  std::shared_ptr<DefaultSourceWatch> closing;
  {
    std::lock_guard lock(mutex_);
    if (!watch_ || !listeners_->remove(token)) return;
    closing = std::move(watch_);
  }
  closing->close();
}

}  // namespace orvix::platform::pulse
