#include "OrvixAudioCaptureHost/capture_controller.h"

#include <unistd.h>

#include "OrvixAudioCaptureHost/capture_constants.h"
#include "OrvixAudioCaptureHost/json_number.h"

namespace orvix::capture {

namespace {

std::string systemTrackPath(const Arguments& arguments) {
  return arguments.outputPath + ".system.pcm";
}

std::string microphoneTrackPath(const Arguments& arguments) {
  return arguments.outputPath + ".microphone.pcm";
}

}  // namespace

std::unique_ptr<CaptureController> CaptureController::create(Arguments arguments,
                                                             platform::Audio audio,
                                                             TimeSource& time,
                                                             CaptureEvents& events,
                                                             ExitProcess exitProcess) {
  auto systemWriter = PcmWriter::create(systemTrackPath(arguments));
  if (!systemWriter) return nullptr;
  std::unique_ptr<PcmWriter> microphoneWriter;
  if (arguments.meeting) {
    microphoneWriter = PcmWriter::create(microphoneTrackPath(arguments));
    if (!microphoneWriter) {
      // Nothing was recorded; the empty system track must not be left behind.
      systemWriter->close();
      ::unlink(systemTrackPath(arguments).c_str());
      return nullptr;
    }
  }
  return std::unique_ptr<CaptureController>(
      new CaptureController(std::move(arguments), audio, time, events, std::move(exitProcess),
                            std::move(systemWriter), std::move(microphoneWriter)));
}

CaptureController::CaptureController(Arguments arguments, platform::Audio audio, TimeSource& time,
                                     CaptureEvents& events, ExitProcess exitProcess,
                                     std::unique_ptr<PcmWriter> systemWriter,
                                     std::unique_ptr<PcmWriter> microphoneWriter)
    : arguments_(std::move(arguments)),
      time_(time),
      events_(events),
      exitProcess_(std::move(exitProcess)),
      systemPath_(systemTrackPath(arguments_)),
      microphonePath_(microphoneTrackPath(arguments_)),
      flags_{.microphoneEnabled = arguments_.meeting && arguments_.microphoneEnabled},
      timeline_(std::move(systemWriter), std::move(microphoneWriter), time.clock(), stateLock_,
                flags_),
      systemAudio_(audio, time, events, timeline_, stateLock_, flags_, tasks_,
                   [this] { finishAfterCaptureInterruption(); }),
      microphone_(arguments_.meeting
                      ? std::make_unique<MicrophoneCapture>(audio.microphone, time, events,
                                                            timeline_, stateLock_, flags_)
                      : nullptr),
      startTaskDone_(time.makeSemaphore(0)),
      tasks_(time) {}

CaptureController::~CaptureController() {
  tasks_.joinAll();
  // A controller dropped without a stop (tests, a failed construction) still leaves no source
  // running into its queues.
  SystemAudioCapture::Sources sources;
  {
    std::lock_guard lock(stateLock_);
    flags_.stopping = true;
    sources = systemAudio_.takeSourcesLocked();
    progressTimer_.cancel();
  }
  if (sources.stream) sources.stream->stop();
  if (sources.tap) sources.tap->stop();
  if (microphone_) microphone_->tearDown();
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

void CaptureController::emitFailed(CaptureError error) {
  events_.emit("recording.failed", Json{{"code", std::string(wireCode(error))}});
}

void CaptureController::startTaskLaunched() {
  std::lock_guard lock(stateLock_);
  startTaskRunning_ = true;
}

std::optional<CaptureError> CaptureController::start() {
  if (auto error = systemAudio_.start()) return error;

  bool stoppedDuringMicrophoneStartup = false;
  if (arguments_.meeting) {
    bool available = false;
    std::optional<CaptureError> microphoneError;
    runOnMain([&] { microphoneError = microphone_->start(available); });
    if (microphoneError) return microphoneError;
    {
      std::lock_guard lock(stateLock_);
      // A stop that came in while the microphone started tore down the microphone in the
      // middle of its start-up: that start-up failed.
      stoppedDuringMicrophoneStartup = flags_.stopping;
      flags_.microphoneAvailable = available;
      flags_.microphoneInitializationComplete = true;
      if (!available) flags_.microphoneEnabled = false;
    }
    if (!available) timeline_.synchronizeUnavailableMicrophoneTrack();
    runOnMain([this] { (void)microphone_->installRouteListener(); });
  }

  timeline_.start();

  if (stoppedDuringMicrophoneStartup) return CaptureError::captureFailed;

  runOnMain([&] {
    SystemAudioBackend backend = SystemAudioBackend::screenCaptureKit;
    bool fallback = false;
    bool microphoneAvailable = false;
    {
      std::lock_guard lock(stateLock_);
      backend = systemAudio_.backendLocked().value_or(SystemAudioBackend::screenCaptureKit);
      fallback = systemAudio_.fallbackLocked();
      microphoneAvailable = flags_.microphoneAvailable;
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
  if (flags_.stopping) return;
  progressTimer_ = time_.mainLoop().scheduleAfter(delay, lifetime_.guard([this, startedAt, tick] {
    progressTick();
    scheduleProgressTick(startedAt, tick + 1);
  }));
}

void CaptureController::progressTick() {
  if (microphone_) microphone_->recoverIfStalled();
  emitProgress();
}

void CaptureController::emitProgress() {
  const auto progress = timeline_.progress();
  events_.emit("recording.progress",
               Json{{"elapsedMs", progress.elapsedMs},
                    {"systemLevel", levelNumber(progress.systemLevel)},
                    {"microphoneLevel", levelNumber(progress.microphoneLevel)}});
}

void CaptureController::setPaused(bool paused) {
  const std::uint64_t now = nowNanoseconds();
  std::lock_guard lock(stateLock_);
  if (paused == flags_.paused) return;
  if (paused) {
    timeline_.pauseLocked(now);
  } else {
    timeline_.resumeLocked(now);
  }
  flags_.paused = paused;
}

void CaptureController::setMicrophoneEnabled(bool enabled) {
  if (!arguments_.meeting) return;
  std::lock_guard lock(stateLock_);
  flags_.microphoneEnabled = enabled && flags_.microphoneAvailable;
}

void CaptureController::stop(bool cancelled) {
  const std::uint64_t now = nowNanoseconds();
  std::int64_t minimumSamples = 0;
  std::int64_t outageSamples = 0;
  SystemAudioCapture::Sources sources;
  TimerHandle progressTimer;
  {
    std::lock_guard lock(stateLock_);
    if (flags_.stopping) return;
    flags_.stopping = true;
    minimumSamples = cancelled ? 0 : timeline_.sampleTargetLocked(now);
    timeline_.closeLocked(now);
    sources = systemAudio_.takeSourcesLocked();
    if (!cancelled && timeline_.inSystemOutageLocked()) {
      completionInterrupted_ = true;
      outageSamples =
          CaptureTimeline::samplesForNanoseconds(timeline_.systemOutageNanosecondsLocked(now));
    }
    timeline_.closeSystemOutageLocked();
    progressTimer = progressTimer_;
  }
  systemAudio_.cancelStartup();
  timeline_.appendSystemSilence(outageSamples);
  progressTimer.cancel();

  tasks_.run("capture-stop", [this, cancelled, minimumSamples, sources] {
    if (sources.stream) sources.stream->stop();
    if (sources.tap) sources.tap->stop();
    runOnMain([this] {
      if (microphone_) microphone_->tearDown();
    });
    // A start-up still running reports its own failure first; waiting for it keeps the order
    // of the last lines and the exit deterministic.
    bool waitForStart = false;
    {
      std::lock_guard lock(stateLock_);
      waitForStart = startTaskRunning_;
    }
    if (waitForStart) startTaskDone_->wait();
    if (!cancelled) timeline_.synchronizeForCompletion(minimumSamples);
    timeline_.systemWriter().close();
    if (auto* microphone = timeline_.microphoneWriter()) microphone->close();
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
  if (timeline_.systemWriter().sampleCount() == 0 && timeline_.microphoneSampleCount() == 0) {
    emitFailed(CaptureError::captureFailed);
    stop(true);
    return;
  }
  {
    const auto tracks = timeline_.lockTracks();
    std::int64_t outageSamples = 0;
    {
      std::lock_guard lock(stateLock_);
      if (flags_.stopping) return;
      completionInterrupted_ = true;
      outageSamples = CaptureTimeline::samplesForNanoseconds(
          timeline_.systemOutageNanosecondsLocked(nowNanoseconds()));
      timeline_.closeSystemOutageLocked();
    }
    timeline_.appendSystemSilence(tracks, outageSamples);
  }
  stop(false);
}

bool CaptureController::isStopping() {
  std::lock_guard lock(stateLock_);
  return flags_.stopping;
}

bool CaptureController::isMicrophoneAvailable() {
  std::lock_guard lock(stateLock_);
  return flags_.microphoneAvailable;
}

bool CaptureController::isMicrophoneEnabled() {
  std::lock_guard lock(stateLock_);
  return flags_.microphoneEnabled;
}

}  // namespace orvix::capture
