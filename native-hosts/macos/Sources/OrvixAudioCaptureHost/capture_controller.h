#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "OrvixAudioCaptureHost/capture_arguments.h"
#include "OrvixAudioCaptureHost/capture_error.h"
#include "OrvixAudioCaptureHost/capture_events.h"
#include "OrvixAudioCaptureHost/capture_timeline.h"
#include "OrvixAudioCaptureHost/microphone_capture.h"
#include "OrvixAudioCaptureHost/system_audio_capture.h"
#include "OrvixAudioCaptureHost/task_runner.h"
#include "common/time/lifetime_guard.h"
#include "common/time/time_source.h"
#include "platform/audio.h"

namespace orvix::capture {

// Ends the process with a status. The program exits for real; tests record the status.
using ExitProcess = std::function<void(int status)>;

struct FinalizedCapture {
  std::int64_t durationMs = 0;
  std::int64_t byteLength = 0;
};

// Owns one recording session and puts its parts together: the capture timeline with the two
// tracks, the system audio (a process tap or a screen-capture stream), the microphone in meeting
// mode, and the progress timer. Runs start-up in order, applies pause, resume and microphone
// switching, and carries stop and cancel through to the process exit.
//
// Threads: commands, the progress timer and microphone recovery on the main thread; start-up,
// stop and stream recovery on tasks of their own; audio on the audio, process-tap and
// microphone queues. Lock order: a stream's control lock (ControlledStream), then the
// timeline's track-write lock, then stateLock_, then a writer's own lock; nothing waits for long
// while holding the track-write lock or stateLock_, and no stream is started or stopped under
// either.
class CaptureController final {
 public:
  // Absent when a track file cannot be created.
  static std::unique_ptr<CaptureController> create(Arguments arguments, platform::Audio audio,
                                                   TimeSource& time, CaptureEvents& events,
                                                   ExitProcess exitProcess);
  ~CaptureController();
  CaptureController(const CaptureController&) = delete;
  CaptureController& operator=(const CaptureController&) = delete;

  // Runs on the start-up task: system audio until it has really delivered, the microphone in
  // meeting mode, the timeline, then "recording.started" and the progress timer. Returns the
  // reason when start-up failed.
  std::optional<CaptureError> start();
  // Bracket the start-up task, so that a stop waits for its outcome before it finalises: the
  // start-up failure is then always reported before the stop's own last line and the exit.
  void startTaskLaunched();
  void startTaskFinished();

  void setPaused(bool paused);
  void setMicrophoneEnabled(bool enabled);
  // Safe from any thread; only the first call acts.
  void stop(bool cancelled);
  // The system backend is gone for good: keep what was recorded, or fail when there is nothing.
  void finishAfterCaptureInterruption();

  // Public for the tests that work on prepared tracks.
  std::optional<FinalizedCapture> finalizeCapture();
  void removeCaptureFiles();
  CaptureTimeline& timeline() { return timeline_; }

  const std::string& systemPath() const { return systemPath_; }
  const std::string& microphonePath() const { return microphonePath_; }
  PcmWriter& systemWriter() { return timeline_.systemWriter(); }
  PcmWriter* microphoneWriter() { return timeline_.microphoneWriter(); }
  bool isStopping();
  bool isMicrophoneAvailable();
  bool isMicrophoneEnabled();

 private:
  CaptureController(Arguments arguments, platform::Audio audio, TimeSource& time,
                    CaptureEvents& events, ExitProcess exitProcess,
                    std::unique_ptr<PcmWriter> systemWriter,
                    std::unique_ptr<PcmWriter> microphoneWriter);

  std::uint64_t nowNanoseconds() const { return time_.clock().uptimeNanoseconds(); }
  // Runs `task` on the main thread and waits for it; runs it at once on the main thread itself.
  void runOnMain(const std::function<void()>& task);

  // Progress timer.
  void scheduleProgressTick(std::uint64_t startedAt, std::uint64_t tick);
  void progressTick();
  void emitProgress();

  void emitFailed(CaptureError error);
  // Stop task only.
  void exitJoiningFinishedTasks(int status);

  Arguments arguments_;
  TimeSource& time_;
  CaptureEvents& events_;
  ExitProcess exitProcess_;
  std::string systemPath_;
  std::string microphonePath_;

  std::mutex stateLock_;
  RecordingFlags flags_;  // guarded by stateLock_
  CaptureTimeline timeline_;
  SystemAudioCapture systemAudio_;
  std::unique_ptr<MicrophoneCapture> microphone_;  // meeting mode only

  // Guarded by stateLock_.
  TimerHandle progressTimer_;
  bool completionInterrupted_ = false;
  bool startTaskRunning_ = false;

  // Stop task only: the media copy has created (or truncated) the file at the output path.
  bool outputCreated_ = false;

  std::unique_ptr<Semaphore> startTaskDone_;
  // Work for the main loop does nothing once this is gone: the loop outlives it.
  LifetimeGuard lifetime_;
  // Declared last: destroyed first, so every task has ended before the state it uses goes.
  TaskRunner tasks_;
};

}  // namespace orvix::capture
