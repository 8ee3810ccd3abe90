#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "OrvixAudioCaptureHost/capture_error.h"
#include "OrvixAudioCaptureHost/capture_events.h"
#include "OrvixAudioCaptureHost/capture_timeline.h"
#include "OrvixAudioCaptureHost/controlled_stream.h"
#include "OrvixAudioCaptureHost/pcm_converter.h"
#include "OrvixAudioCaptureHost/process_tap_capture.h"
#include "OrvixAudioCaptureHost/recording_flags.h"
#include "OrvixAudioCaptureHost/system_audio_startup_readiness.h"
#include "OrvixAudioCaptureHost/task_runner.h"
#include "common/time/lifetime_guard.h"
#include "common/time/time_source.h"
#include "platform/audio.h"

namespace orvix::capture {

enum class SystemAudioBackend { processTap, screenCaptureKit };

constexpr std::string_view wireName(SystemAudioBackend backend) {
  return backend == SystemAudioBackend::processTap ? "core-audio-process-tap"
                                                   : "screen-capture-kit";
}

// The computer's own audio, for the system track. Picks and starts a backend: a process tap
// where the platform has them, with a screen-capture stream as the fallback, or the stream
// alone; a backend is accepted only once its audio has really reached the track. Restarts a
// stream that the system stopped, after a growing wait, bridging the outage on the timeline; a
// backend lost for good is handed back to the controller.
//
// Threads: start-up and stream recovery on tasks of their own, which block; audio on the
// stream's audio queue or the tap's queue; stop reports on a platform thread; tap interruption
// on the main thread. Locks: a stream's control lock comes before the others and is never taken
// under them; the state lock is taken alone, or inside the timeline's track-write lock to close
// an outage.
class SystemAudioCapture final : public platform::ScreenCaptureStreamClient {
 public:
  // `lostForGood` is called when the backend is gone and cannot be restarted.
  SystemAudioCapture(platform::Audio audio, TimeSource& time, CaptureEvents& events,
                     CaptureTimeline& timeline, std::mutex& stateLock, const RecordingFlags& flags,
                     TaskRunner& tasks, std::function<void()> lostForGood);
  SystemAudioCapture(const SystemAudioCapture&) = delete;
  SystemAudioCapture& operator=(const SystemAudioCapture&) = delete;

  // Start-up task: returns once a backend has delivered its first audio, or the reason none did.
  std::optional<CaptureError> start();
  // The backend that became ready, and whether the stream was the tap's fallback.
  std::optional<SystemAudioBackend> backendLocked() const { return backend_; }
  bool fallbackLocked() const { return fallback_; }

  // The sources the stop sequence stops. The stream stays referenced here as well, so its late
  // callbacks still compare as the current one and are refused by the stopping check.
  struct Sources {
    std::shared_ptr<ControlledStream> stream;
    std::shared_ptr<ProcessTapCapture> tap;
  };
  Sources takeSourcesLocked();
  // A start-up attempt still waiting for first audio gives up at once.
  void cancelStartup() { startup_.cancel(); }

  // Screen-capture stream output and delegate.
  void streamDidOutputAudio(platform::ScreenCaptureStream& stream,
                            const platform::AudioSampleBuffer& buffer) override;
  void streamDidOutputScreen(platform::ScreenCaptureStream& stream) override;
  void streamDidStop(platform::ScreenCaptureStream& stream,
                     platform::StreamStopReason reason) override;

 private:
  bool isStopping();
  std::uint64_t nowNanoseconds() const { return time_.clock().uptimeNanoseconds(); }
  // Real samples on the track make the backend that delivered them ready.
  void appendAudio(const float* samples, std::int64_t count);

  std::optional<CaptureError> startScreenCaptureKitUntilReady(bool requirePermission,
                                                              bool fallback);
  std::optional<CaptureError> startScreenCaptureKit(bool requirePermission);
  void stopScreenCaptureKitStartupAttempt();
  bool isCurrentStreamLocked(const platform::ScreenCaptureStream& stream) const;
  void recoverStream();

  void consumeProcessTapAudio(const platform::PcmBufferView& buffer);
  void processTapInterrupted();

  platform::Audio audio_;
  TimeSource& time_;
  CaptureEvents& events_;
  CaptureTimeline& timeline_;
  std::mutex& stateLock_;
  const RecordingFlags& flags_;
  TaskRunner& tasks_;
  std::function<void()> lostForGood_;

  SystemAudioStartupReadiness startup_;
  PcmConverter converter_;
  std::unique_ptr<SerialQueue> audioQueue_;
  std::unique_ptr<SerialQueue> videoQueue_;

  // Guarded by stateLock_.
  std::shared_ptr<ControlledStream> stream_;
  std::shared_ptr<ProcessTapCapture> processTap_;
  std::optional<SystemAudioBackend> backend_;
  bool fallback_ = false;
  bool startupComplete_ = false;
  int streamRestartAttempts_ = 0;
  std::optional<std::uint64_t> streamStartedAtNanoseconds_;

  // Work for the main loop does nothing once this is gone: the loop outlives it.
  LifetimeGuard lifetime_;
};

}  // namespace orvix::capture
