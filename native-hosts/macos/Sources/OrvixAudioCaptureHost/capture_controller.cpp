#include "OrvixAudioCaptureHost/capture_controller.h"

#include <unistd.h>

#include "OrvixAudioCaptureHost/capture_constants.h"
#include "OrvixAudioCaptureHost/json_number.h"

namespace orvix::capture {

namespace {

std::string queueLabel(std::string_view suffix) {
  return std::string(applicationIdentifierPrefix) + std::string(suffix);
}

}  // namespace

std::unique_ptr<CaptureController> CaptureController::create(Arguments arguments,
                                                             platform::Audio audio,
                                                             TimeSource& time,
                                                             CaptureEvents& events,
                                                             ExitProcess exitProcess) {
  std::unique_ptr<CaptureController> controller(
      new CaptureController(std::move(arguments), audio, time, events, std::move(exitProcess)));
  controller->systemWriter_ = PcmWriter::create(controller->systemPath_);
  if (!controller->systemWriter_) return nullptr;
  if (controller->arguments_.meeting) {
    controller->microphoneWriter_ = PcmWriter::create(controller->microphonePath_);
    if (!controller->microphoneWriter_) {
      // Nothing was recorded; the empty system track must not be left behind.
      controller->systemWriter_->close();
      ::unlink(controller->systemPath_.c_str());
      return nullptr;
    }
  }
  return controller;
}

CaptureController::CaptureController(Arguments arguments, platform::Audio audio, TimeSource& time,
                                     CaptureEvents& events, ExitProcess exitProcess)
    : arguments_(std::move(arguments)),
      audio_(audio),
      time_(time),
      events_(events),
      exitProcess_(std::move(exitProcess)),
      systemPath_(arguments_.outputPath + ".system.pcm"),
      microphonePath_(arguments_.outputPath + ".microphone.pcm"),
      systemAudioStartup_(time),
      microphoneConverter_(std::make_unique<PcmConverter>()),
      audioQueue_(time.makeSerialQueue(queueLabel(".audio-capture.system"))),
      videoQueue_(time.makeSerialQueue(queueLabel(".audio-capture.video"))),
      microphoneQueue_(time.makeSerialQueue(queueLabel(".audio-capture.microphone"))),
      microphoneRouteQueue_(time.makeSerialQueue(queueLabel(".audio-capture.microphone-route"))),
      microphoneEnabled_(arguments_.meeting && arguments_.microphoneEnabled),
      startTaskDone_(time.makeSemaphore(0)),
      tasks_(time) {}

CaptureController::~CaptureController() {
  tasks_.joinAll();
  // A controller dropped without a stop (tests, a failed construction) still leaves no source
  // running into its queues.
  std::shared_ptr<ControlledStream> stream;
  std::shared_ptr<platform::ProcessTap> tap;
  {
    std::lock_guard lock(stateLock_);
    stopping_ = true;
    stream = std::move(stream_);
    tap = std::move(processTapCapture_);
    progressTimer_.cancel();
  }
  if (stream) stream->stop();
  if (tap) tap->stop();
  if (microphoneEngine_) {
    microphoneEngine_->stop();
    if (microphoneTapInstalled_) microphoneEngine_->removeTap();
  }
  removeDefaultInputDeviceListener();
}

void CaptureController::runOnMain(const std::function<void()>& task) {
  RunLoop& main = time_.mainLoop();
  if (main.isCurrent()) {
    task();
    return;
  }
  auto done = time_.makeSemaphore(0);
  main.post([&task, &done] {
    task();
    done->signal();
  });
  done->wait();
}

Task CaptureController::weakly(std::function<void()> task) const {
  return [alive = std::weak_ptr<int>(lifetime_), task = std::move(task)] {
    if (alive.lock()) task();
  };
}

void CaptureController::emitFailed(CaptureError error) {
  events_.emit("recording.failed", Json{{"code", std::string(wireCode(error))}});
}

void CaptureController::startTaskLaunched() {
  std::lock_guard lock(stateLock_);
  startTaskRunning_ = true;
}

std::optional<CaptureError> CaptureController::start() {
  if (auto error = startPreferredSystemCapture()) return error;

  bool stoppedDuringMicrophoneStartup = false;
  if (arguments_.meeting) {
    bool available = false;
    std::optional<CaptureError> microphoneError;
    runOnMain([&] { microphoneError = startMicrophoneIfAvailable(available); });
    if (microphoneError) return microphoneError;
    {
      std::lock_guard lock(stateLock_);
      // A stop that came in while the microphone started tore down the microphone in the
      // middle of its start-up: that start-up failed.
      stoppedDuringMicrophoneStartup = stopping_;
      microphoneAvailable_ = available;
      microphoneInitializationComplete_ = true;
      if (!available) microphoneEnabled_ = false;
    }
    if (!available) synchronizeUnavailableMicrophoneTrack();
    runOnMain([this] { (void)installDefaultInputDeviceListener(); });
  }

  startCaptureTimeline();

  if (stoppedDuringMicrophoneStartup) return CaptureError::captureFailed;

  runOnMain([&] {
    SystemAudioBackend backend = SystemAudioBackend::screenCaptureKit;
    bool fallback = false;
    bool microphoneAvailable = false;
    {
      std::lock_guard lock(stateLock_);
      backend = systemAudioBackend_.value_or(SystemAudioBackend::screenCaptureKit);
      fallback = systemAudioFallback_;
      microphoneAvailable = microphoneAvailable_;
    }
    // Start-up succeeded even when a stop has come in since: the recording is announced, and
    // the stop that follows completes it. Only the progress timer stays off (it refuses to
    // start once stopping).
    events_.emit("recording.started", Json{{"sessionId", arguments_.sessionId},
                                           {"backend", std::string(wireName(backend))},
                                           {"fallback", fallback},
                                           {"systemAudioReady", true},
                                           {"microphoneAvailable", microphoneAvailable}});
    scheduleProgressTick(nowNanoseconds(), 1);
  });
  return std::nullopt;
}

void CaptureController::startTaskFinished() {
  {
    std::lock_guard lock(stateLock_);
    startTaskRunning_ = false;
  }
  startTaskDone_->signal();
}

void CaptureController::scheduleProgressTick(std::uint64_t startedAt, std::uint64_t tick) {
  // Ticks are due at fixed multiples of the interval from "recording.started", so a slow tick
  // does not push every later one back. After the main thread was held up, the ticks it missed
  // were covered by the one late tick; the next is the first multiple still ahead, instead of a
  // burst of catch-up ticks.
  const std::uint64_t now = nowNanoseconds();
  if (now >= startedAt && startedAt + tick * progressIntervalNanoseconds <= now) {
    tick = (now - startedAt) / progressIntervalNanoseconds + 1;
  }
  const std::uint64_t due = startedAt + tick * progressIntervalNanoseconds;
  const Duration delay(static_cast<std::int64_t>(due > now ? due - now : 0));
  std::lock_guard lock(stateLock_);
  if (stopping_) return;
  progressTimer_ = time_.mainLoop().scheduleAfter(delay, weakly([this, startedAt, tick] {
                                                    progressTick();
                                                    scheduleProgressTick(startedAt, tick + 1);
                                                  }));
}

void CaptureController::progressTick() {
  recoverStalledMicrophone();
  emitProgress();
}

void CaptureController::setPaused(bool paused) {
  const std::uint64_t now = nowNanoseconds();
  std::lock_guard lock(stateLock_);
  if (paused == paused_) return;
  if (paused) {
    if (captureTimelineActiveSinceNanoseconds_ && now >= *captureTimelineActiveSinceNanoseconds_) {
      captureTimelineActiveNanoseconds_ += now - *captureTimelineActiveSinceNanoseconds_;
    }
    captureTimelineActiveSinceNanoseconds_.reset();
  } else if (!captureTimelineActiveSinceNanoseconds_) {
    captureTimelineActiveSinceNanoseconds_ = now;
    lastSystemAudioNanoseconds_ = now;
    if (microphoneAvailable_) lastMicrophoneAudioNanoseconds_ = now;
  }
  if (recoveringSystemStream_) {
    if (paused) {
      if (recoveryGapActiveSinceNanoseconds_ && now >= *recoveryGapActiveSinceNanoseconds_) {
        recoveryGapNanoseconds_ += now - *recoveryGapActiveSinceNanoseconds_;
      }
      recoveryGapActiveSinceNanoseconds_.reset();
    } else if (!recoveryGapActiveSinceNanoseconds_) {
      recoveryGapActiveSinceNanoseconds_ = now;
    }
  }
  paused_ = paused;
}

void CaptureController::setMicrophoneEnabled(bool enabled) {
  if (!arguments_.meeting) return;
  std::lock_guard lock(stateLock_);
  microphoneEnabled_ = enabled && microphoneAvailable_;
}

void CaptureController::stop(bool cancelled) {
  const std::uint64_t now = nowNanoseconds();
  std::int64_t minimumSamples = 0;
  std::int64_t outageSamples = 0;
  std::shared_ptr<ControlledStream> stream;
  std::shared_ptr<platform::ProcessTap> tap;
  TimerHandle progressTimer;
  {
    std::lock_guard lock(stateLock_);
    if (stopping_) return;
    stopping_ = true;
    minimumSamples = cancelled ? 0 : captureTimelineSampleTargetLocked(now);
    if (captureTimelineActiveSinceNanoseconds_ && now >= *captureTimelineActiveSinceNanoseconds_) {
      captureTimelineActiveNanoseconds_ += now - *captureTimelineActiveSinceNanoseconds_;
    }
    captureTimelineActiveSinceNanoseconds_.reset();
    // The stream stays referenced, so its late callbacks still compare as the current one and
    // are refused by the stopping check.
    stream = stream_;
    tap = std::move(processTapCapture_);
    if (!cancelled && recoveringSystemStream_) {
      completionInterrupted_ = true;
      outageSamples = samplesForNanoseconds(currentRecoveryGapNanosecondsLocked(now));
    }
    recoveringSystemStream_ = false;
    clearRecoveryGapLocked();
    progressTimer = progressTimer_;
  }
  systemAudioStartup_.cancel();
  if (outageSamples > 0) appendSystemSilence(outageSamples);
  progressTimer.cancel();

  tasks_.run("capture-stop", [this, cancelled, minimumSamples, stream, tap] {
    if (stream) stream->stop();
    if (tap) tap->stop();
    runOnMain([this] { tearDownMicrophone(); });
    // A start-up still running reports its own failure first; waiting for it keeps the order
    // of the last lines and the exit deterministic.
    bool waitForStart = false;
    {
      std::lock_guard lock(stateLock_);
      waitForStart = startTaskRunning_;
    }
    if (waitForStart) startTaskDone_->wait();
    if (!cancelled) synchronizeCaptureTracksForCompletion(minimumSamples);
    systemWriter_->close();
    if (microphoneWriter_) microphoneWriter_->close();
    if (cancelled) {
      removeCaptureFiles();
      exitJoiningFinishedTasks(0);
      return;
    }
    const auto result = finalizeCapture();
    if (!result) {
      removeCaptureFiles();
      emitFailed(CaptureError::captureFailed);
      exitJoiningFinishedTasks(1);
      return;
    }
    bool interrupted = false;
    {
      std::lock_guard lock(stateLock_);
      interrupted = completionInterrupted_;
    }
    events_.emit("recording.completed", Json{{"durationMs", result->durationMs},
                                             {"byteLength", result->byteLength},
                                             {"interrupted", interrupted}});
    exitJoiningFinishedTasks(0);
  });
}

void CaptureController::exitJoiningFinishedTasks(int status) {
  // The calling stop task runs on; earlier tasks that have ended are joined, so that none of
  // them is left behind as a finished, never joined thread.
  tasks_.joinFinished();
  exitProcess_(status);
}

void CaptureController::finishAfterCaptureInterruption() {
  if (systemWriter_->sampleCount() == 0 && microphoneSampleCount() == 0) {
    emitFailed(CaptureError::captureFailed);
    stop(true);
    return;
  }
  std::int64_t outageSamples = 0;
  {
    std::lock_guard trackLock(trackWriteLock_);
    {
      std::lock_guard lock(stateLock_);
      if (stopping_) return;
      completionInterrupted_ = true;
      outageSamples = samplesForNanoseconds(currentRecoveryGapNanosecondsLocked(nowNanoseconds()));
      recoveringSystemStream_ = false;
      clearRecoveryGapLocked();
    }
    if (outageSamples > 0) appendSystemSilenceLocked(outageSamples);
  }
  stop(false);
}

bool CaptureController::isStopping() {
  std::lock_guard lock(stateLock_);
  return stopping_;
}

bool CaptureController::isMicrophoneAvailable() {
  std::lock_guard lock(stateLock_);
  return microphoneAvailable_;
}

bool CaptureController::isMicrophoneEnabled() {
  std::lock_guard lock(stateLock_);
  return microphoneEnabled_;
}

std::optional<SystemAudioBackend> CaptureController::systemAudioBackend() {
  std::lock_guard lock(stateLock_);
  return systemAudioBackend_;
}

}  // namespace orvix::capture
