#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/time/serial_queue.h"
#include "common/time/time_source.h"
#include "platform/audio_format.h"

namespace orvix::platform::simulated {

// A known signal: a sine tone, white noise, silence, or ticks, at an amplitude of full scale.
// Ticks are 2 ms bursts at every whole 1/frequency seconds of the machine's clock, whatever
// device plays them, so that the moment of a sample can be read back from a track file.
struct SignalSpec {
  enum class Kind { tone, noise, silence, ticks };
  Kind kind = Kind::tone;
  double frequency = 440;
  double amplitude = 0.5;
};

// How a simulated device hands out its audio: format, buffer size, how late each buffer may come
// (uniformly 0...jitter behind its ideal moment) and how far the device's clock is off the
// machine's (a positive drift delivers that many more frames per million than the nominal rate
// says, as a real device's crystal does). A real platform's capture stamps are estimates that
// wobble around the truth (a latency guess, a host-time reading): each buffer's stamp is off by
// its own amount, uniformly within plus or minus stampJitter, while its samples stay on time.
struct SourceSpec {
  AudioFormat format{48000, 2, SampleKind::float32, false};
  SignalSpec signal;
  std::uint32_t bufferFrames = 480;
  Duration jitter{0};
  std::uint64_t seed = 1;
  double driftPpm = 0;
  Duration stampJitter{0};

  // Frames the device really delivers per second of the machine's clock.
  double deliveredFramesPerSecond() const { return format.sampleRate * (1 + driftPpm / 1e6); }
};

// Fills buffers of a format with a signal, one frame after the other, so consecutive buffers
// continue the same waveform. Every channel carries the same value.
class SignalGenerator {
 public:
  SignalGenerator(SignalSpec signal, AudioFormat format, std::uint64_t seed,
                  Duration stampJitter = Duration::zero());

  // Frames from the next one on are captured from `firstFrameAt` (the machine's uptime) at
  // `framesPerSecond`; their buffers carry that capture time.
  void setTimebase(Duration firstFrameAt, double framesPerSecond);
  // Generates `frames` frames; the view stays valid until the next call.
  PcmBufferView next(std::size_t frames);
  std::uint64_t framesGenerated() const { return frame_; }

 private:
  float valueAt(std::uint64_t frame);
  std::optional<Duration> momentOf(std::uint64_t frame) const;
  Duration stampErrorAt(std::uint64_t frame) const;

  SignalSpec signal_;
  AudioFormat format_;
  std::uint64_t frame_ = 0;
  std::uint64_t noiseState_;
  std::uint64_t seed_;
  Duration stampJitter_;
  std::optional<Duration> timebaseStart_;
  std::uint64_t timebaseFrame_ = 0;
  double framesPerSecond_ = 0;
  std::vector<std::vector<std::uint8_t>> planes_;
  std::vector<const void*> planePointers_;
};

// A device clock: delivers a buffer from a generator on a serial queue every bufferFrames/rate,
// each late by its own jitter. start() and stop() from any thread; after stop() returns, no
// delivery runs or will run (unless stop() was called from the delivery itself, which then
// ends with it).
class SimulatedSource {
 public:
  using Deliver = std::function<void(const PcmBufferView&)>;

  SimulatedSource(TimeSource& time, SourceSpec spec);
  ~SimulatedSource();

  void start(SerialQueue& queue, Duration firstDelay, Deliver deliver);
  void stop();
  bool running() const;

 private:
  void scheduleNext(std::uint64_t generation);
  void deliverOne(std::uint64_t generation);
  Duration jitterFor(std::uint64_t index);

  TimeSource& time_;
  SourceSpec spec_;
  mutable std::mutex mutex_;
  SerialQueue* queue_ = nullptr;
  Deliver deliver_;
  std::uint64_t generation_ = 0;
  bool running_ = false;
  Duration origin_{0};
  std::uint64_t buffersDelivered_ = 0;
  TimerHandle pending_;
  SignalGenerator generator_;
};

}  // namespace orvix::platform::simulated
