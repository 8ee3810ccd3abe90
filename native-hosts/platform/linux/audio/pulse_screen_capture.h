#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/audio/pulse_connection.h"
#include "platform/linux/audio/pulse_recording.h"
#include "platform/screen_capture.h"

namespace orvix::platform::pulse {

// The computer's own audio as a screen-capture stream: a recording of the default sink's
// monitor. Audio goes to the queue given with addOutput (copied off the loop thread); a system
// stop is reported on the binding's platform queue.
class MonitorStream final : public ScreenCaptureStream,
                            public std::enable_shared_from_this<MonitorStream> {
 public:
  // A slow audio queue costs buffers, not memory: past this many undelivered buffers (about
  // 1.3 s of 20 ms fragments) new ones are dropped, and the timeline fills the gap.
  static constexpr int kMaxUndeliveredBuffers = 64;

  MonitorStream(ServerAddress server, SerialQueue& platformQueue,
                ScreenCaptureStreamClient& client);
  ~MonitorStream() override;

  std::optional<ScreenCaptureFailure> addOutput(StreamOutputType type, SerialQueue& queue) override;
  std::optional<ScreenCaptureFailure> startCapture() override;
  std::optional<ScreenCaptureFailure> stopCapture() override;

 private:
  void post(const float* samples, std::size_t frames);
  void deliver(const std::vector<float>& samples, std::size_t frames);
  // For the loop thread: reports a stop with `reason` from the platform queue.
  std::function<void()> stopLater(StreamStopReason reason);
  void stopBySystem(StreamStopReason reason);

  ServerAddress server_;
  SerialQueue& platformQueue_;
  ScreenCaptureStreamClient& client_;
  SerialQueue* audioQueue_ = nullptr;
  std::unique_ptr<PulseConnection> connection_;
  std::unique_ptr<PulseRecording> recording_;
  AudioFormat format_;
  std::string sink_;  // written before the recording starts, read on the loop thread after
  std::atomic<int> undelivered_{0};
  // Held while a buffer or a stop reaches the client, so that stopCapture returning means
  // nothing more arrives.
  std::mutex deliveryMutex_;
  bool capturing_ = false;
};

class PulseScreenCapture final : public ScreenCapture {
 public:
  PulseScreenCapture(ServerAddress server, SerialQueue& platformQueue)
      : server_(std::move(server)), platformQueue_(platformQueue) {}

  bool preflightAccess() override { return true; }
  bool requestAccess() override { return true; }
  std::variant<ShareableContent, ScreenCaptureFailure> shareableContent() override;
  std::shared_ptr<ScreenCaptureStream> makeStream(const StreamConfiguration& configuration,
                                                  ScreenCaptureStreamClient& client) override;

 private:
  ServerAddress server_;
  SerialQueue& platformQueue_;
};

}  // namespace orvix::platform::pulse
