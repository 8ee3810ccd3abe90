#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "common/time/serial_queue.h"
#include "platform/audio_format.h"

namespace orvix::platform {

enum class MicrophoneAuthorization { notDetermined, restricted, denied, authorized };

// The audio engine of one microphone session: its input node's format, a tap on input bus 0,
// start and stop.
//
// Notes for implementers: the host calls everything on its main thread; tapped buffers arrive
// on a thread of the engine's own, roughly `bufferFrames` frames each. After removeTap or stop
// returns, no more buffers are delivered.
class AudioEngine {
 public:
  virtual ~AudioEngine() = default;
  // The output format of input bus 0; absent when there is no input device.
  virtual std::optional<AudioFormat> inputFormat() = 0;
  virtual bool installTap(std::uint32_t bufferFrames,
                          std::function<void(const PcmBufferView&)> onBuffer) = 0;
  virtual void removeTap() = 0;
  virtual void prepare() = 0;
  virtual bool start() = 0;
  virtual void stop() = 0;
};

// The microphone: authorization, engines, and a listener on the system's default input device.
class Microphone {
 public:
  virtual ~Microphone() = default;
  virtual MicrophoneAuthorization authorizationStatus() = 0;
  virtual std::unique_ptr<AudioEngine> makeEngine() = 0;
  // Calls `onChange` on `queue` whenever the default input device changes. Returns a token for
  // removal, absent when registration failed.
  virtual std::optional<std::uint64_t> addDefaultInputListener(SerialQueue& queue,
                                                               std::function<void()> onChange) = 0;
  virtual void removeDefaultInputListener(std::uint64_t token) = 0;
};

}  // namespace orvix::platform
