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
// monitor, which follows the default sink. Audio goes to the queue given with addOutput (copied
// off the loop thread); a system stop is reported on the binding's platform queue.
class MonitorStream final : public ScreenCaptureStream,
                            public std::enable_shared_from_this<MonitorStream> {
 public:
  // A slow audio queue costs buffers, not memory: past this many undelivered buffers (about
  // 1.3 s of 20 ms fragments) new ones are not copied but counted, and reach the client as
  // silence of their length once the queue takes buffers again, so the track keeps its length.
  static constexpr int kMaxUndeliveredBuffers = 64;
  // Silence stands in for at most this much: by then the host has long filled the gap itself.
  static constexpr double kLongestStandInSeconds = 60;

  MonitorStream(ServerAddress server, SerialQueue& platformQueue,
                ScreenCaptureStreamClient& client);
  ~MonitorStream() override;

  std::optional<ScreenCaptureFailure> addOutput(StreamOutputType type, SerialQueue& queue) override;
  std::optional<ScreenCaptureFailure> startCapture() override;
  std::optional<ScreenCaptureFailure> stopCapture() override;

 private:
  // `generation` tells its audio apart from the recording it replaces; `held`: see PulseRecording.
  std::unique_ptr<PulseRecording> record(const SourceFacts& monitor, std::uint64_t generation,
                                         bool held);
  // Loop thread: gathers a recording's audio into fragments, and sends each to the audio queue.
  void post(const AudioFormat& format, const float* samples, std::size_t frames,
            std::optional<std::uint64_t> captureTime);
  bool continuesBatch(const AudioFormat& format, std::optional<std::uint64_t> captureTime) const;
  void sendBatch();
  void send(const AudioFormat& format, const std::vector<float>& samples, std::size_t frames,
            std::optional<std::uint64_t> captureTime);
  void deliver(const AudioFormat& format, const std::vector<float>& samples, std::size_t frames,
               std::optional<std::uint64_t> captureTime);
  void deliverSilence(const AudioFormat& format, std::size_t frames,
                      std::optional<std::uint64_t> captureTime);
  // For the loop thread: reports a stop with `reason` from the platform queue.
  std::function<void()> stopLater(StreamStopReason reason);
  void stopBySystem(StreamStopReason reason);
  // On the platform queue: moves the recording to the default sink's monitor when that sink is
  // another than the one recorded. `lost`: the recording itself ended.
  void followDefaultSink(bool lost);

  ServerAddress server_;
  SerialQueue& platformQueue_;
  ScreenCaptureStreamClient& client_;
  SerialQueue* audioQueue_ = nullptr;
  // Held while the recording is made, replaced or ended.
  std::mutex recordingMutex_;
  std::unique_ptr<PulseConnection> connection_;
  std::unique_ptr<PulseRecording> recording_;
  std::string sink_;  // written under the loop lock, read on the loop thread
  // The recording whose audio reaches the client: written under the loop lock, read on the loop
  // thread. Audio of another, the one being replaced, is dropped.
  std::uint64_t liveGeneration_ = 0;
  std::atomic<int> undelivered_{0};
  // Loop thread only: the fragment being gathered, its layout and the capture time of its first
  // frame. Pieces whose stamps lie this close to continuing it count as continuing it.
  std::vector<float> batch_;
  std::size_t batchFrames_ = 0;
  AudioFormat batchFormat_;
  std::optional<std::uint64_t> batchCaptureTime_;
  static constexpr std::uint64_t kBatchStampTolerance = 100'000;
  // Loop thread only: frames not copied while the queue was full, and where they began.
  std::size_t droppedFrames_ = 0;
  std::optional<std::uint64_t> droppedCaptureTime_;
  AudioFormat droppedFormat_;
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
