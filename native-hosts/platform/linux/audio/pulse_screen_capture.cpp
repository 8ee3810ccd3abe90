#include "platform/linux/audio/pulse_screen_capture.h"

#include <algorithm>
#include <vector>

#include "platform/linux/audio/pulse_capture_time.h"

namespace orvix::platform::pulse {

namespace {

// Fragments of about 20 ms: low enough for a short path from speaker to track, few enough
// wake-ups. A power of two of frames (1024 at 48 kHz), as PipeWire's graph cycles are: with 961
// frames it handed over 961 a cycle and caught up with an extra delivery every eighth, so the
// arrivals that place the audio there wandered by 1.3 ms a cycle.
std::size_t fragmentFrames(double sampleRate) {
  std::size_t frames = 1;
  while (static_cast<double>(frames * 2) <= sampleRate / 40) frames *= 2;
  return frames;
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
  // Alone by now: every task that used the stream held it.
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
  if (audioQueue_ == nullptr) return ScreenCaptureFailure::failed;
  std::lock_guard recordingLock(recordingMutex_);
  if (connection_) return ScreenCaptureFailure::failed;
  ConnectionEvents events;
  events.serverGone = stopLater(StreamStopReason::stoppedBySystem);
  events.defaultsChanged = [this, weak = weak_from_this()](const ServerDefaults& defaults) {
    // Another output is the computer's audio from now on: the recording moves there itself,
    // in milliseconds, where a stop would wait for the host's recovery delays.
    if (defaults.sink == sink_) return;
    platformQueue_.async([weak] {
      if (auto self = weak.lock()) self->followDefaultSink(false);
    });
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
  {
    std::lock_guard lock(deliveryMutex_);
    capturing_ = true;
  }
  connection_ = std::move(connection);
  recording_ = record(*monitor, liveGeneration_, /*held=*/false);
  if (!recording_) {
    {
      std::lock_guard lock(deliveryMutex_);
      capturing_ = false;
    }
    connection_.reset();
    return ScreenCaptureFailure::failed;
  }
  return std::nullopt;
}

std::unique_ptr<PulseRecording> MonitorStream::record(const SourceFacts& monitor,
                                                      std::uint64_t generation, bool held) {
  const AudioFormat format = recordingFormat(monitor);
  return PulseRecording::open(
      *connection_, monitor, fragmentFrames(monitor.sampleRate),
      [this, format, generation](const float* samples, std::size_t frames,
                                 std::optional<std::uint64_t> captureTime) {
        if (generation == liveGeneration_) post(format, samples, frames, captureTime);
      },
      [weak = weak_from_this(), this] {
        platformQueue_.async([weak] {
          if (auto self = weak.lock()) self->followDefaultSink(true);
        });
      },
      held);
}

void MonitorStream::followDefaultSink(bool lost) {
  std::optional<StreamStopReason> stop;
  {
    std::lock_guard recordingLock(recordingMutex_);
    {
      std::lock_guard lock(deliveryMutex_);
      if (!capturing_) return;
    }
    if (!connection_) return;
    // Absent while the server goes away: its own event reports that stop.
    const auto defaults = connection_->serverDefaults();
    if (!defaults) return;
    std::string recorded;
    {
      PulseConnection::Locked locked(*connection_);
      recorded = sink_;
    }
    if (defaults->sink.empty()) {
      // Nothing plays now; an output may come back, which the host's recovery waits for.
      stop = StreamStopReason::stoppedBySystem;
    } else if (defaults->sink == recorded) {
      // The recording failed on the output that is still the default: nothing to move to.
      if (lost) stop = StreamStopReason::failed;
    } else {
      const auto monitor = connection_->sinkMonitor(defaults->sink);
      // Made while the old recording still runs: a new stream takes tens of milliseconds to
      // bring its first audio (more on PipeWire, which links it into the graph first), and the
      // old one's audio fills them. The new one then carries on from the old one's last frame.
      const std::uint64_t generation = liveGeneration_ + 1;
      auto incoming = monitor ? record(*monitor, generation, /*held=*/true) : nullptr;
      if (incoming) {
        PulseConnection::Locked locked(*connection_);
        liveGeneration_ = generation;
        incoming->takeOverLocked(recording_ ? recording_->endTimeLocked() : std::nullopt);
        sink_ = defaults->sink;
      } else {
        stop = StreamStopReason::stoppedBySystem;
      }
      recording_ = std::move(incoming);
    }
  }
  // Reported with no lock held: the client may stop the stream from inside.
  if (stop) stopBySystem(*stop);
}

std::optional<ScreenCaptureFailure> MonitorStream::stopCapture() {
  {
    std::lock_guard lock(deliveryMutex_);
    capturing_ = false;
  }
  std::lock_guard recordingLock(recordingMutex_);
  recording_.reset();
  connection_.reset();
  return std::nullopt;
}

void MonitorStream::post(const AudioFormat& format, const float* samples, std::size_t frames,
                         std::optional<std::uint64_t> captureTime) {
  // The server hands a monitor's audio over in pieces of a few milliseconds; gathered into
  // fragments, the audio queue wakes once a fragment instead of once a piece. A piece that does
  // not continue the gathered ones (another layout, a stamp elsewhere) starts a fragment of its own.
  if (batchFrames_ > 0 && !continuesBatch(format, captureTime)) sendBatch();
  if (batchFrames_ == 0) {
    batchFormat_ = format;
    batchCaptureTime_ = captureTime;
    batch_.clear();
  }
  batch_.insert(batch_.end(), samples, samples + frames * format.channelCount);
  batchFrames_ += frames;
  if (batchFrames_ >= fragmentFrames(format.sampleRate)) sendBatch();
}

bool MonitorStream::continuesBatch(const AudioFormat& format,
                                   std::optional<std::uint64_t> captureTime) const {
  if (format.sampleRate != batchFormat_.sampleRate ||
      format.channelCount != batchFormat_.channelCount ||
      captureTime.has_value() != batchCaptureTime_.has_value()) {
    return false;
  }
  if (!captureTime) return true;
  const std::uint64_t expected =
      captureTimeAfter(*batchCaptureTime_, batchFrames_, batchFormat_.sampleRate);
  const std::uint64_t apart = *captureTime > expected ? *captureTime - expected : expected - *captureTime;
  return apart <= kBatchStampTolerance;
}

void MonitorStream::sendBatch() {
  send(batchFormat_, batch_, batchFrames_, batchCaptureTime_);
  batchFrames_ = 0;
}

void MonitorStream::send(const AudioFormat& format, const std::vector<float>& samples,
                         std::size_t frames, std::optional<std::uint64_t> captureTime) {
  if (undelivered_.load() >= kMaxUndeliveredBuffers) {
    if (droppedFrames_ == 0) {
      droppedCaptureTime_ = captureTime;
      droppedFormat_ = format;
    }
    droppedFrames_ = std::min(droppedFrames_ + frames,
                              static_cast<std::size_t>(format.sampleRate * kLongestStandInSeconds));
    return;
  }
  if (droppedFrames_ > 0) {
    ++undelivered_;
    audioQueue_->async([weak = weak_from_this(), format = droppedFormat_, frames = droppedFrames_,
                        captureTime = droppedCaptureTime_] {
      if (auto self = weak.lock()) {
        --self->undelivered_;
        self->deliverSilence(format, frames, captureTime);
      }
    });
    droppedFrames_ = 0;
  }
  // An idle audio queue takes the fragment right here, uncopied: waking its thread for every
  // fragment cost about a fifth of the host's CPU time. The threads that hand fragments over (the
  // loop's, or the one moving the recording to another output) hold nothing the queue's tasks
  // take, and the stream outlives them: its destructor waits for the loop.
  if (audioQueue_->runHereIfIdle([&] { deliver(format, samples, frames, captureTime); })) return;
  ++undelivered_;
  std::vector<float> copy(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(
                                                               frames * format.channelCount));
  audioQueue_->async([weak = weak_from_this(), format, copy = std::move(copy), frames, captureTime] {
    if (auto self = weak.lock()) {
      --self->undelivered_;
      self->deliver(format, copy, frames, captureTime);
    }
  });
}

void MonitorStream::deliver(const AudioFormat& format, const std::vector<float>& samples,
                            std::size_t frames, std::optional<std::uint64_t> captureTime) {
  std::lock_guard lock(deliveryMutex_);
  if (!capturing_) return;
  const void* planes[] = {samples.data()};
  client_.streamDidOutputAudio(*this, AudioSampleBuffer{true, format, frames, planes, captureTime});
}

void MonitorStream::deliverSilence(const AudioFormat& format, std::size_t frames,
                                   std::optional<std::uint64_t> captureTime) {
  const std::size_t piece = std::min<std::size_t>(frames, fragmentFrames(format.sampleRate));
  const std::vector<float> silence(piece * format.channelCount, 0.0F);
  while (frames > 0) {
    const std::size_t take = std::min(frames, piece);
    deliver(format, silence, take, captureTime);
    if (captureTime) captureTime = captureTimeAfter(*captureTime, take, format.sampleRate);
    frames -= take;
  }
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
