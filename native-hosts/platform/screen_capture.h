#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/time/serial_queue.h"
#include "platform/audio_format.h"

namespace orvix::platform {

// An error as the screen-capture facility reports it: a domain and a code.
struct StreamError {
  std::string domain;
  std::int64_t code = 0;
};

// The error domain of the screen-capture stream, and the code with which the system stops a
// running stream on its own (another app took the display, the system was busy). Only that
// stop is worth restarting the stream for.
inline constexpr const char* kScreenCaptureStreamErrorDomain =
    "com.apple.ScreenCaptureKit.SCStreamErrorDomain";
inline constexpr std::int64_t kStreamStoppedBySystemCode = -3821;

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
  virtual void streamDidStop(ScreenCaptureStream& stream, const StreamError& error) = 0;
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
  virtual std::optional<StreamError> addOutput(StreamOutputType type, SerialQueue& queue) = 0;
  virtual std::optional<StreamError> startCapture() = 0;
  virtual std::optional<StreamError> stopCapture() = 0;
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
  virtual std::variant<ShareableContent, StreamError> shareableContent() = 0;
  // The client must outlive the stream.
  virtual std::shared_ptr<ScreenCaptureStream> makeStream(const StreamConfiguration& configuration,
                                                          ScreenCaptureStreamClient& client) = 0;
};

}  // namespace orvix::platform
