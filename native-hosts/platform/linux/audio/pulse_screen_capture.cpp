#include "platform/linux/audio/pulse_screen_capture.h"

#include <vector>

namespace orvix::platform::pulse {

namespace {

// 20 ms fragments: low enough for a short path from speaker to track, few enough wake-ups.
std::size_t fragmentFrames(double sampleRate) {
  return static_cast<std::size_t>(sampleRate / 50) + 1;
}

// The one "display" a sink monitor offers: there is something to record.
constexpr std::uint32_t kDefaultSinkDisplay = 1;

}  // namespace

std::variant<ShareableContent, ScreenCaptureFailure> PulseScreenCapture::shareableContent() {
  const auto connection = PulseConnection::open(server_);
  if (!connection) return ScreenCaptureFailure::unavailable;
  const auto defaults = connection->serverDefaults();
  if (!defaults) return ScreenCaptureFailure::failed;
  ShareableContent content;
  if (!defaults->sink.empty()) content.displays.push_back(CaptureDisplay{kDefaultSinkDisplay});
  return content;
}

std::shared_ptr<ScreenCaptureStream> PulseScreenCapture::makeStream(
    const StreamConfiguration&, ScreenCaptureStreamClient& client) {
  return std::make_shared<MonitorStream>(server_, platformQueue_, client);
}

MonitorStream::MonitorStream(ServerAddress server, SerialQueue& platformQueue,
                             ScreenCaptureStreamClient& client)
    : server_(std::move(server)), platformQueue_(platformQueue), client_(client) {}

MonitorStream::~MonitorStream() {
  recording_.reset();
  connection_.reset();
}

std::optional<ScreenCaptureFailure> MonitorStream::addOutput(StreamOutputType type,
                                                             SerialQueue& queue) {
  // Screen samples have no counterpart here; the host ignores them anyway.
  if (type == StreamOutputType::audio) audioQueue_ = &queue;
  return std::nullopt;
}

std::optional<ScreenCaptureFailure> MonitorStream::startCapture() {
  if (audioQueue_ == nullptr || connection_) return ScreenCaptureFailure::failed;
  ConnectionEvents events;
  events.serverGone = stopLater(StreamStopReason::stoppedBySystem);
  events.defaultsChanged = [this, stop = stopLater(StreamStopReason::stoppedBySystem)](
                               const ServerDefaults& defaults) {
    // Following the default sink means ending this recording: the host's own recovery then
    // starts a new one on the new sink.
    if (defaults.sink != sink_) stop();
  };
  auto connection = PulseConnection::open(server_, std::move(events));
  if (!connection) return ScreenCaptureFailure::failed;
  const auto defaults = connection->serverDefaults();
  if (!defaults || defaults->sink.empty()) return ScreenCaptureFailure::failed;
  const auto monitor = connection->sinkMonitor(defaults->sink);
  if (!monitor) return ScreenCaptureFailure::failed;
  {
    PulseConnection::Locked locked(*connection);
    sink_ = defaults->sink;
  }
  // Known before the first fragment arrives on the loop thread, which reads it.
  format_ = recordingFormat(*monitor);
  {
    std::lock_guard lock(deliveryMutex_);
    capturing_ = true;
  }
  auto recording = PulseRecording::open(
      *connection, *monitor, fragmentFrames(monitor->sampleRate),
      [this](const float* samples, std::size_t frames) { post(samples, frames); },
      stopLater(StreamStopReason::failed));
  if (!recording) {
    std::lock_guard lock(deliveryMutex_);
    capturing_ = false;
    return ScreenCaptureFailure::failed;
  }
  connection_ = std::move(connection);
  recording_ = std::move(recording);
  return std::nullopt;
}

std::optional<ScreenCaptureFailure> MonitorStream::stopCapture() {
  {
    std::lock_guard lock(deliveryMutex_);
    capturing_ = false;
  }
  recording_.reset();
  connection_.reset();
  return std::nullopt;
}

void MonitorStream::post(const float* samples, std::size_t frames) {
  if (undelivered_.load() >= kMaxUndeliveredBuffers) return;
  ++undelivered_;
  std::vector<float> copy(samples, samples + frames * format_.channelCount);
  audioQueue_->async([weak = weak_from_this(), copy = std::move(copy), frames] {
    if (auto self = weak.lock()) {
      --self->undelivered_;
      self->deliver(copy, frames);
    }
  });
}

void MonitorStream::deliver(const std::vector<float>& samples, std::size_t frames) {
  std::lock_guard lock(deliveryMutex_);
  if (!capturing_) return;
  const void* planes[] = {samples.data()};
  client_.streamDidOutputAudio(
      *this, AudioSampleBuffer{true, format_, frames, planes, kUnstamped});
}

std::function<void()> MonitorStream::stopLater(StreamStopReason reason) {
  // Loop-thread callbacks hold the stream weakly and only post: the last reference must never
  // be dropped on the loop thread, whose connection the destructor stops.
  return [this, weak = weak_from_this(), reason] {
    platformQueue_.async([weak, reason] {
      if (auto self = weak.lock()) self->stopBySystem(reason);
    });
  };
}

void MonitorStream::stopBySystem(StreamStopReason reason) {
  {
    std::lock_guard lock(deliveryMutex_);
    if (!capturing_) return;
    capturing_ = false;
  }
  client_.streamDidStop(*this, reason);
}

}  // namespace orvix::platform::pulse
