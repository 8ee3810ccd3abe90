#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "OrvixAudioCaptureHost/capture_error.h"
#include "OrvixAudioCaptureHost/capture_events.h"
#include "OrvixAudioCaptureHost/capture_timeline.h"
#include "OrvixAudioCaptureHost/pcm_converter.h"
#include "OrvixAudioCaptureHost/recording_flags.h"
#include "common/time/lifetime_guard.h"
#include "common/time/time_source.h"
#include "platform/microphone.h"

namespace orvix::capture {

// The microphone of a meeting recording: starts the engine and taps its input into the
// microphone track, rebuilds the engine when it stalls (up to three times) or when the system's
// default input device changes, and reports that with "recording.microphone" events. Trouble
// here never ends the recording; while the microphone is unavailable the timeline mirrors the
// system track onto its track.
//
// Threads: everything on the main thread, except the tapped buffers, which arrive on the
// engine's thread and are converted and written on the microphone queue. The recovery state is
// the main thread's alone; the generation and the last progress time are shared under the
// controller's state lock, which is taken alone here.
class MicrophoneCapture {
 public:
  MicrophoneCapture(platform::Microphone& microphone, TimeSource& time, CaptureEvents& events,
                    CaptureTimeline& timeline, std::mutex& stateLock, RecordingFlags& flags);
  ~MicrophoneCapture();
  MicrophoneCapture(const MicrophoneCapture&) = delete;
  MicrophoneCapture& operator=(const MicrophoneCapture&) = delete;

  // Start-up: fails without microphone access (which is never requested here); otherwise sets
  // `available` to whether an engine runs.
  std::optional<CaptureError> start(bool& available);
  // Follows changes of the default input device from now on; false when that cannot be set up.
  bool installRouteListener();
  // Every progress tick: rebuilds an engine that has delivered nothing for a while. Only real
  // buffers of the current engine count: the silence the timeline pads or mirrors onto the track
  // would otherwise pass a dead microphone off as a live one.
  void recoverIfStalled();
  // The stop sequence: no more route changes, the engine stopped and its tap removed.
  void tearDown();

 private:
  bool isStopping();

  bool replaceEngine(std::string_view reason, int attempt);
  bool installTap(platform::AudioEngine& engine, std::uint64_t generation);
  bool shouldWriteAudio(std::uint64_t generation);  // engine thread
  void didReceiveAudio(std::uint64_t generation);
  void rebuildEngine(std::string_view reason, int attempt);
  void removeRouteListener();
  void scheduleRouteRecovery();

  platform::Microphone& microphone_;
  TimeSource& time_;
  CaptureEvents& events_;
  CaptureTimeline& timeline_;
  std::mutex& stateLock_;
  RecordingFlags& flags_;

  std::unique_ptr<PcmConverter> converter_;  // swapped on queue_
  std::unique_ptr<SerialQueue> queue_;
  std::unique_ptr<SerialQueue> routeQueue_;

  // Main thread only.
  std::unique_ptr<platform::AudioEngine> engine_;
  bool tapInstalled_ = false;
  // Some engine has run: until then (no microphone at start-up) there is nothing to watch.
  bool watching_ = false;
  // The generation of the engine that last delivered a buffer, set by the tap; the watchdog
  // takes it (0: nothing since it last looked). The main thread is not woken for it.
  std::atomic<std::uint64_t> deliveredGeneration_{0};
  // A delivery note is on its way to the main thread (set by the tap, cleared by the note).
  std::atomic<bool> deliveryNotePending_{false};
  int restartAttempts_ = 0;
  std::uint64_t lastRestartAt_ = 0;
  bool recoveryExhausted_ = false;
  // A rebuilt engine has yet to deliver: only then does the tap send the main thread a note.
  // Written on the main thread, read by the tap.
  std::atomic<bool> recoveryPending_{false};
  std::uint64_t routeChangeToken_ = 0;
  std::optional<std::uint64_t> routeListener_;

  // Guarded by stateLock_.
  std::uint64_t lastProgressAt_ = 0;
  std::uint64_t generation_ = 0;

  // Work for the main loop does nothing once this is gone: the loop outlives it.
  LifetimeGuard lifetime_;
};

}  // namespace orvix::capture
