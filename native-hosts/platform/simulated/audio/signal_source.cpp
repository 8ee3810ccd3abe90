#include "platform/simulated/audio/signal_source.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace orvix::platform::simulated {

namespace {

// A well-mixed 64-bit value of `x`, so that neighbouring inputs give unrelated outputs.
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 32;
  return x;
}

}  // namespace

SignalGenerator::SignalGenerator(SignalSpec signal, AudioFormat format, std::uint64_t seed,
                                 Duration stampJitter)
    : signal_(signal),
      format_(format),
      noiseState_(seed * 0x9E3779B97F4A7C15ULL + 1),
      seed_(seed),
      stampJitter_(stampJitter) {
  planes_.resize(format_.planeCount());
  planePointers_.resize(format_.planeCount());
}

void SignalGenerator::setTimebase(Duration firstFrameAt, double framesPerSecond) {
  timebaseStart_ = firstFrameAt;
  timebaseFrame_ = frame_;
  framesPerSecond_ = framesPerSecond;
}

std::optional<Duration> SignalGenerator::momentOf(std::uint64_t frame) const {
  if (!timebaseStart_ || !(framesPerSecond_ > 0)) return std::nullopt;
  return *timebaseStart_ + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(
                               static_cast<double>(frame - timebaseFrame_) / framesPerSecond_));
}

Duration SignalGenerator::stampErrorAt(std::uint64_t frame) const {
  if (stampJitter_ <= Duration::zero()) return Duration::zero();
  const auto span = static_cast<std::uint64_t>(stampJitter_.count()) * 2 + 1;
  const std::uint64_t x = mix((frame + 1) * 0x94D049BB133111EBULL ^ (seed_ + 0x5851F42D));
  return Duration(static_cast<std::int64_t>(x % span)) - stampJitter_;
}

float SignalGenerator::valueAt(std::uint64_t frame) {
  switch (signal_.kind) {
    case SignalSpec::Kind::silence:
      return 0;
    case SignalSpec::Kind::ticks: {
      const auto moment = momentOf(frame);
      if (!moment || !(signal_.frequency > 0)) return 0;
      const auto period = std::chrono::duration_cast<Duration>(
          std::chrono::duration<double>(1 / signal_.frequency));
      const bool inBurst = *moment % period < std::chrono::milliseconds(2);
      return inBurst ? static_cast<float>(signal_.amplitude) : 0.0f;
    }
    case SignalSpec::Kind::noise: {
      noiseState_ = noiseState_ * 6364136223846793005ULL + 1442695040888963407ULL;
      const double unit = static_cast<double>(noiseState_ >> 11) / 9007199254740992.0;
      return static_cast<float>(signal_.amplitude * (unit * 2 - 1));
    }
    case SignalSpec::Kind::tone:
      break;
  }
  const double phase =
      2 * std::numbers::pi * signal_.frequency * static_cast<double>(frame) / format_.sampleRate;
  return static_cast<float>(signal_.amplitude * std::sin(phase));
}

PcmBufferView SignalGenerator::next(std::size_t frames) {
  const std::size_t perFrame = format_.samplesPerFrameInPlane();
  const std::size_t bytes = format_.bytesPerSample();
  for (auto& plane : planes_) plane.resize(frames * perFrame * bytes);
  for (std::size_t i = 0; i < frames; ++i) {
    const float value = valueAt(frame_ + i);
    for (std::size_t channel = 0; channel < format_.channelCount; ++channel) {
      auto& plane = planes_[format_.interleaved ? 0 : channel];
      const std::size_t index = format_.interleaved ? i * format_.channelCount + channel : i;
      std::uint8_t* at = plane.data() + index * bytes;
      if (format_.kind == SampleKind::float32) {
        std::memcpy(at, &value, 4);
      } else if (format_.kind == SampleKind::int16) {
        const auto sample = static_cast<std::int16_t>(std::lround(value * 32767.0));
        std::memcpy(at, &sample, 2);
      } else {
        const auto sample = static_cast<std::int32_t>(std::llround(value * 2147483647.0));
        std::memcpy(at, &sample, 4);
      }
    }
  }
  std::optional<std::uint64_t> captureTime;
  if (const auto moment = momentOf(frame_)) {
    const Duration stamp = *moment + stampErrorAt(frame_);
    if (stamp > Duration::zero()) captureTime = static_cast<std::uint64_t>(stamp.count());
  }
  frame_ += frames;
  for (std::size_t p = 0; p < planes_.size(); ++p) planePointers_[p] = planes_[p].data();
  return PcmBufferView{format_, frames, planePointers_.data(), captureTime};
}

SimulatedSource::SimulatedSource(TimeSource& time, SourceSpec spec)
    : time_(time), spec_(spec), generator_(spec.signal, spec.format, spec.seed, spec.stampJitter) {}

SimulatedSource::~SimulatedSource() { stop(); }

bool SimulatedSource::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void SimulatedSource::start(SerialQueue& queue, Duration firstDelay, Deliver deliver) {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    queue_ = &queue;
    deliver_ = std::move(deliver);
    running_ = true;
    generation = ++generation_;
    origin_ = time_.clock().uptime() + firstDelay;
    buffersDelivered_ = 0;
    // Buffer n holds what the device captured from origin_ + n buffer periods on.
    generator_.setTimebase(origin_, spec_.deliveredFramesPerSecond());
  }
  scheduleNext(generation);
}

void SimulatedSource::stop() {
  SerialQueue* queue = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    running_ = false;
    ++generation_;
    pending_.cancel();
    queue = queue_;
  }
  // Waits out a delivery that is running right now, so none runs after stop() returns.
  if (queue != nullptr && !queue->isCurrent()) queue->sync([] {});
}

Duration SimulatedSource::jitterFor(std::uint64_t index) {
  if (spec_.jitter <= Duration::zero()) return Duration::zero();
  const std::uint64_t x = mix((index + 1) * 0xD1B54A32D192ED03ULL ^ spec_.seed);
  return Duration(static_cast<std::int64_t>(x % static_cast<std::uint64_t>(spec_.jitter.count())));
}

void SimulatedSource::scheduleNext(std::uint64_t generation) {
  std::lock_guard lock(mutex_);
  if (!running_ || generation != generation_) return;
  // Buffer n is ready once its last frame has been captured, plus its own lateness.
  const double period = static_cast<double>(spec_.bufferFrames) / spec_.deliveredFramesPerSecond();
  const auto ideal = origin_ + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(
                                   period * static_cast<double>(buffersDelivered_ + 1)));
  const Duration due = ideal + jitterFor(buffersDelivered_);
  const Duration now = time_.clock().uptime();
  pending_ = queue_->asyncAfter(due > now ? due - now : Duration::zero(),
                                [this, generation] { deliverOne(generation); });
}

void SimulatedSource::deliverOne(std::uint64_t generation) {
  Deliver deliver;
  {
    std::lock_guard lock(mutex_);
    if (!running_ || generation != generation_) return;
    ++buffersDelivered_;
    deliver = deliver_;
  }
  deliver(generator_.next(spec_.bufferFrames));
  scheduleNext(generation);
}

}  // namespace orvix::platform::simulated
