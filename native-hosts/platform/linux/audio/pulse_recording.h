#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "platform/linux/audio/pulse_connection.h"

struct pa_stream;

namespace orvix::platform::pulse {

// One record stream on a connection: float32 frames of the source's own rate and channels, in
// fragments of about `fragmentFrames`, so the server neither converts nor remixes and each
// wake-up brings a predictable amount.
//
// Thread rules: open and the destructor from any thread but the loop's; `onFrames` and
// `onFailed` run on the loop thread under the loop lock and must not call into the connection.
// Once the destructor returns, neither runs again.
class PulseRecording {
 public:
  // Interleaved float32 frames, valid only during the call.
  using OnFrames = std::function<void(const float* samples, std::size_t frames)>;

  static std::unique_ptr<PulseRecording> open(PulseConnection& connection,
                                              const SourceFacts& source,
                                              std::size_t fragmentFrames, OnFrames onFrames,
                                              std::function<void()> onFailed);
  ~PulseRecording();
  PulseRecording(const PulseRecording&) = delete;
  PulseRecording& operator=(const PulseRecording&) = delete;

  AudioFormat format() const { return format_; }

 private:
  PulseRecording(PulseConnection& connection, AudioFormat format, OnFrames onFrames,
                 std::function<void()> onFailed);
  void readable();
  void stateChanged();

  PulseConnection& connection_;
  AudioFormat format_;
  OnFrames onFrames_;
  std::function<void()> onFailed_;
  pa_stream* stream_ = nullptr;
  bool ready_ = false;
  bool closing_ = false;
};

// The capture time a buffer of this binding carries: none. libpulse can tell a fragment's age
// (the record latency), and stamps taken from it advance evenly, but the capture host's
// placement by stamp then scattered short silences through the microphone track; unstamped,
// the host aligns both tracks by arrival, which keeps them whole and in step.
inline constexpr std::optional<std::uint64_t> kUnstamped = std::nullopt;

// The layout a recording of `source` delivers in.
AudioFormat recordingFormat(const SourceFacts& source);

}  // namespace orvix::platform::pulse
