#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "common/time/serial_queue.h"
#include "platform/audio_format.h"

namespace orvix::platform {

// Why a running stream ended without the client asking for it, in the terms the host acts on.
// Each binding maps its platform's errors to one of these.
enum class StreamStopReason {
  // The system stopped the stream on its own (another application took the display, the system
  // was busy): the only stop worth starting the stream again for.
  stoppedBySystem,
  // Anything else: the stream is gone for good.
  failed,
};

// Why a call of the screen-capture facility failed.
enum class ScreenCaptureFailure {
  // This machine offers no screen capture (no binding for it here, nothing to capture).
  unavailable,
  // The facility is there, but the call failed.
  failed,
};

// ScreenCaptureKit reports the system's own stop of a stream as this code in this error domain.
// The macOS binding maps exactly that error to StreamStopReason::stoppedBySystem and every other
// one to StreamStopReason::failed; no other binding uses these numbers.
inline constexpr const char* kScreenCaptureKitStreamErrorDomain =
    "com.apple.ScreenCaptureKit.SCStreamErrorDomain";
inline constexpr std::int64_t kScreenCaptureKitStoppedBySystemCode = -3821;

struct CaptureDisplay {
  std::uint32_t displayId = 0;
};

struct ShareableContent {
  std::vector<CaptureDisplay> displays;
};

// What a stream captures and how; mirrors the screen-capture stream configuration.
struct StreamConfiguration {
  CaptureDisplay display;
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  int sampleRate = 0;
  int channelCount = 0;
  int width = 0;
  int height = 0;
  std::int64_t minimumFrameIntervalValue = 0;
  std::int32_t minimumFrameIntervalTimescale = 0;
  int queueDepth = 0;
  bool showsCursor = true;
};

// An audio sample buffer as the stream hands it over: its data may not be ready yet, and it may
// lack a format description. Valid only during the callback.
struct AudioSampleBuffer {
  bool dataReady = true;
  std::optional<AudioFormat> format;
  std::size_t sampleCount = 0;
  const void* const* planes = nullptr;  // planeCount() pointers, as in PcmBufferView
  // The machine's uptime, in nanoseconds, of the first sample, when the stream says.
  std::optional<std::uint64_t> presentationTime;
};

enum class StreamOutputType { screen, audio };

class ScreenCaptureStream;

// The stream's output and delegate in one. Audio and screen samples arrive on the queue given
// with addOutput; didStop on a platform thread of its own.
class ScreenCaptureStreamClient {
 public:
  virtual ~ScreenCaptureStreamClient() = default;
  virtual void streamDidOutputAudio(ScreenCaptureStream& stream,
                                    const AudioSampleBuffer& buffer) = 0;
  virtual void streamDidOutputScreen(ScreenCaptureStream& stream) = 0;
  virtual void streamDidStop(ScreenCaptureStream& stream, StreamStopReason reason) = 0;
};

// One capture stream.
//
// Notes for implementers:
// - addOutput, startCapture and stopCapture may be called from any thread but never at once;
//   startCapture and stopCapture block until the platform has answered.
// - After stopCapture returns no more samples are delivered; a didStop is never reported for a
//   stop that the client asked for.
// - Identity is the object: the client compares the stream it is called for with the one it holds.
class ScreenCaptureStream {
 public:
  virtual ~ScreenCaptureStream() = default;
  virtual std::optional<ScreenCaptureFailure> addOutput(StreamOutputType type, SerialQueue& queue) = 0;
  virtual std::optional<ScreenCaptureFailure> startCapture() = 0;
  virtual std::optional<ScreenCaptureFailure> stopCapture() = 0;
};

// The screen-capture facility: access, shareable content, streams.
//
// Notes for implementers: every call may come from a start-up or recovery task thread and may
// block; requestAccess shows the system prompt at most once per process.
class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;

  virtual bool preflightAccess() = 0;
  virtual bool requestAccess() = 0;
  virtual std::variant<ShareableContent, ScreenCaptureFailure> shareableContent() = 0;
  // The client must outlive the stream.
  virtual std::shared_ptr<ScreenCaptureStream> makeStream(const StreamConfiguration& configuration,
                                                          ScreenCaptureStreamClient& client) = 0;
};

}  // namespace orvix::platform
