#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace orvix::platform {

// How samples are stored in a PCM buffer: 32-bit float, or signed 16- or 32-bit integers.
enum class SampleKind { float32, int16, int32 };

// The described format of a PCM buffer, after the platform's audio format objects: a source may
// deliver any rate and channel count, interleaved or one plane per channel.
struct AudioFormat {
  double sampleRate = 0;
  std::uint32_t channelCount = 0;
  SampleKind kind = SampleKind::float32;
  bool interleaved = false;

  bool operator==(const AudioFormat&) const = default;

  std::size_t bytesPerSample() const { return kind == SampleKind::int16 ? 2 : 4; }
  std::size_t planeCount() const { return interleaved ? 1 : channelCount; }
  // Samples of one frame held in one plane.
  std::size_t samplesPerFrameInPlane() const { return interleaved ? channelCount : 1; }
};

// A borrowed view of PCM frames, valid only during the callback that hands it over (the
// platform reuses its buffers). `planes` holds planeCount() pointers, each to frameLength
// frames of samplesPerFrameInPlane() samples.
// `captureTime` is the machine's uptime, in nanoseconds, at which the first frame was captured,
// as the platform stamps its buffers (an engine tap's host time, an I/O cycle's input time, a
// sample buffer's presentation time); absent where the platform does not say.
struct PcmBufferView {
  AudioFormat format;
  std::size_t frameLength = 0;
  const void* const* planes = nullptr;
  std::optional<std::uint64_t> captureTime;
};

}  // namespace orvix::platform
