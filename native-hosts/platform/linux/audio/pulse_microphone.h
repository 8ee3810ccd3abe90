#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/linux/audio/pulse_connection.h"
#include "platform/linux/audio/pulse_recording.h"
#include "platform/microphone.h"

namespace orvix::platform::pulse {

// The default-input listeners of one microphone. Engines hold them weakly: a microphone stream
// that fails is news of its input for them as much as a change of the default source.
class InputListeners {
 public:
  std::uint64_t add(SerialQueue& queue, std::function<void()> onChange);
  // True when that was the last listener.
  bool remove(std::uint64_t token);
  // Posts to every listener's queue; callable from any thread, the loop threads included.
  void notify();

 private:
  std::mutex mutex_;
  std::uint64_t nextToken_ = 1;
  std::map<std::uint64_t, std::pair<SerialQueue*, std::function<void()>>> listeners_;
};

// The default source as an audio engine. Buffers arrive on the engine's own connection thread,
// cut into exactly `bufferFrames` frames each, stamped with their first frame's capture time.
class PulseInputEngine final : public AudioEngine {
 public:
  PulseInputEngine(ServerAddress server, std::weak_ptr<InputListeners> listeners)
      : server_(std::move(server)), listeners_(std::move(listeners)) {}
  ~PulseInputEngine() override;

  std::optional<AudioFormat> inputFormat() override;
  bool installTap(std::uint32_t bufferFrames,
                  std::function<void(const PcmBufferView&)> onBuffer) override;
  void removeTap() override;
  void prepare() override {}
  bool start() override;
  void stop() override;

 private:
  void collect(const float* samples, std::size_t frames, std::optional<std::uint64_t> captureTime);
  void streamFailed();

  ServerAddress server_;
  std::weak_ptr<InputListeners> listeners_;
  std::unique_ptr<PulseConnection> connection_;
  std::optional<SourceFacts> source_;
  std::unique_ptr<PulseRecording> recording_;
  std::uint32_t bufferFrames_ = 0;
  // Held while a buffer reaches the tap, so that stop or removeTap returning means no more.
  std::mutex deliveryMutex_;
  std::function<void(const PcmBufferView&)> onBuffer_;
  bool running_ = false;
  // Loop thread only: frames of the buffer being filled, and its first frame's capture time.
  std::vector<float> pending_;
  std::optional<std::uint64_t> pendingCaptureTime_;
};

// Follows the server's default source for the listeners. The server going away and coming back
// count as changes of the default input as well: either way the engine recording now is not
// the one to record from, and only a rebuild reaches the new one.
class DefaultSourceWatch : public std::enable_shared_from_this<DefaultSourceWatch> {
 public:
  static constexpr auto kReconnectInterval = std::chrono::milliseconds(250);

  DefaultSourceWatch(ServerAddress server, SerialQueue& platformQueue,
                     std::shared_ptr<InputListeners> listeners)
      : server_(std::move(server)),
        platformQueue_(platformQueue),
        listeners_(std::move(listeners)) {}

  // False when the server cannot be reached now.
  bool connect();
  void close();

 private:
  void reconnectLater();

  ServerAddress server_;
  SerialQueue& platformQueue_;
  std::shared_ptr<InputListeners> listeners_;
  std::mutex mutex_;
  std::unique_ptr<PulseConnection> connection_;
  std::string source_;  // loop thread (under its lock) and connect()
  bool closed_ = false;
};

class PulseMicrophone final : public Microphone {
 public:
  PulseMicrophone(ServerAddress server, SerialQueue& platformQueue)
      : server_(std::move(server)), platformQueue_(platformQueue) {}
  ~PulseMicrophone() override;

  MicrophoneAuthorization authorizationStatus() override {
    return MicrophoneAuthorization::authorized;
  }
  std::unique_ptr<AudioEngine> makeEngine() override;
  std::optional<std::uint64_t> addDefaultInputListener(SerialQueue& queue,
                                                       std::function<void()> onChange) override;
  void removeDefaultInputListener(std::uint64_t token) override;

 private:
  ServerAddress server_;
  SerialQueue& platformQueue_;
  std::shared_ptr<InputListeners> listeners_ = std::make_shared<InputListeners>();
  std::mutex mutex_;
  std::shared_ptr<DefaultSourceWatch> watch_;
};

}  // namespace orvix::platform::pulse
