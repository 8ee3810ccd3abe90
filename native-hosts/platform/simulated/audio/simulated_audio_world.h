#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/time/time_source.h"
#include "platform/audio.h"
#include "platform/simulated/audio/audio_scenario.h"
#include "platform/simulated/audio/signal_source.h"
#include "platform/simulated/audio/simulated_process_taps.h"

namespace orvix::platform::simulated {

class SimulatedAudioWorld;

// A screen-capture stream of the simulated world: delivers the world's system audio on the
// queue given for audio output once started, until stopped by the host or by the world.
class SimulatedStream final : public ScreenCaptureStream,
                              public std::enable_shared_from_this<SimulatedStream> {
 public:
  SimulatedStream(SimulatedAudioWorld& world, StreamConfiguration configuration,
                  ScreenCaptureStreamClient& client, bool silent);
  ~SimulatedStream() override;

  std::optional<ScreenCaptureFailure> addOutput(StreamOutputType type, SerialQueue& queue) override;
  std::optional<ScreenCaptureFailure> startCapture() override;
  std::optional<ScreenCaptureFailure> stopCapture() override;

  const StreamConfiguration& configuration() const { return configuration_; }
  bool capturing() const;
  // The stream ends on its own: no more audio, and the client hears didStop with `reason`.
  void simulateStop(StreamStopReason reason);

 private:
  SimulatedAudioWorld& world_;
  StreamConfiguration configuration_;
  ScreenCaptureStreamClient& client_;
  bool silent_;
  SerialQueue* audioQueue_ = nullptr;
  std::unique_ptr<SimulatedSource> source_;
  mutable std::mutex mutex_;
  bool capturing_ = false;
};

class SimulatedScreenCapture final : public ScreenCapture {
 public:
  explicit SimulatedScreenCapture(SimulatedAudioWorld& world) : world_(world) {}
  bool preflightAccess() override;
  bool requestAccess() override;
  std::variant<ShareableContent, ScreenCaptureFailure> shareableContent() override;
  std::shared_ptr<ScreenCaptureStream> makeStream(const StreamConfiguration& configuration,
                                                  ScreenCaptureStreamClient& client) override;

 private:
  SimulatedAudioWorld& world_;
};

class SimulatedAudioEngine final : public AudioEngine {
 public:
  SimulatedAudioEngine(SimulatedAudioWorld& world, bool startFails);
  ~SimulatedAudioEngine() override;
  std::optional<AudioFormat> inputFormat() override;
  bool installTap(std::uint32_t bufferFrames,
                  std::function<void(const PcmBufferView&)> onBuffer) override;
  void removeTap() override;
  void prepare() override {}
  bool start() override;
  void stop() override;

 private:
  SimulatedAudioWorld& world_;
  bool startFails_;
  std::unique_ptr<SerialQueue> tapThread_;
  std::unique_ptr<SimulatedSource> source_;
  std::function<void(const PcmBufferView&)> onBuffer_;
  std::uint32_t bufferFrames_ = 0;
};

class SimulatedMicrophone final : public Microphone {
 public:
  explicit SimulatedMicrophone(SimulatedAudioWorld& world) : world_(world) {}
  MicrophoneAuthorization authorizationStatus() override;
  std::unique_ptr<AudioEngine> makeEngine() override;
  std::optional<std::uint64_t> addDefaultInputListener(SerialQueue& queue,
                                                       std::function<void()> onChange) override;
  void removeDefaultInputListener(std::uint64_t token) override;
  // The user picks another input device: every listener hears of it on its queue.
  void simulateDefaultInputChange();
  std::size_t listenerCount();
  // Runs `hook` on the thread that asks for an engine, each time one is made; lets a test act
  // at exactly that moment of the host's microphone start-up.
  void setEngineMadeHook(std::function<void()> hook);

 private:
  SimulatedAudioWorld& world_;
  std::mutex mutex_;
  std::uint64_t nextToken_ = 1;
  std::map<std::uint64_t, std::pair<SerialQueue*, std::function<void()>>> listeners_;
  std::function<void()> engineMadeHook_;
};

// What the host asked the simulated world to do, for tests to check.
struct AudioWorldCounters {
  std::atomic<int> accessRequests{0};
  std::atomic<int> streamsMade{0};
  std::atomic<int> streamStarts{0};
  std::atomic<int> streamStops{0};
  std::atomic<int> tapsCreated{0};
  std::atomic<int> tapsDestroyed{0};
  std::atomic<int> aggregateDevicesCreated{0};
  std::atomic<int> aggregateDevicesDestroyed{0};
  std::atomic<int> ioProcsCreated{0};
  std::atomic<int> ioProcsDestroyed{0};
  std::atomic<int> aliveListenersAdded{0};
  std::atomic<int> aliveListenersRemoved{0};
  std::atomic<int> deviceStarts{0};
  std::atomic<int> deviceStops{0};
  std::atomic<int> enginesMade{0};
  std::atomic<int> engineStarts{0};
  std::atomic<int> engineStops{0};
};

// A deterministic audio world on a TimeSource: a system stream, a process tap and a microphone
// that deliver known signals with buffer sizes and jitter of their own, and that fail, stop,
// stall and come late as the scenario says. Tests change the scenario's knobs at any time
// through spec() and drive the faults with the simulate... hooks.
//
// Must be destroyed after the host that records from it and before the time source.
class SimulatedAudioWorld {
 public:
  SimulatedAudioWorld(TimeSource& time, AudioScenario scenario);
  ~SimulatedAudioWorld();

  Audio audio();
  TimeSource& time() { return time_; }
  AudioScenario& spec() { return scenario_; }
  std::mutex& specLock() { return specLock_; }
  AudioWorldCounters& counters() { return counters_; }
  SimulatedMicrophone& microphone() { return microphone_; }
  SimulatedProcessTaps& processTaps() { return processTaps_; }

  // The stream that is capturing now, if any.
  std::shared_ptr<SimulatedStream> currentStream();
  std::optional<StreamConfiguration> lastConfiguration();
  void simulateStreamStop(bool stoppedBySystem);
  // The tap's aggregate device dies; a second call repeats the notice.
  void simulateTapLoss();
  // Silences the microphone engines from now on (true) or lets them deliver again (false).
  void setMicrophoneStalled(bool stalled);
  // Stalled by that call or by one of the scenario's stalls.
  bool microphoneStalled();
  // The same for system audio, whichever backend delivers it.
  void setSystemStalled(bool stalled) { systemStalled_ = stalled; }
  bool systemStalled() const { return systemStalled_.load(); }

  // Used by the simulated objects.
  void streamStarted(const std::shared_ptr<SimulatedStream>& stream);
  SerialQueue& platformQueue() { return *platformQueue_; }

 private:
  TimeSource& time_;
  Duration createdAt_;
  AudioScenario scenario_;
  std::mutex specLock_;
  AudioWorldCounters counters_;
  SimulatedScreenCapture screenCapture_;
  SimulatedProcessTaps processTaps_;
  SimulatedMicrophone microphone_;
  std::atomic<bool> microphoneStalled_{false};
  std::atomic<bool> systemStalled_{false};
  std::mutex mutex_;
  std::weak_ptr<SimulatedStream> currentStream_;
  std::optional<StreamConfiguration> lastConfiguration_;
  // Delegate callbacks and scheduled faults run here, as on a platform thread.
  std::unique_ptr<SerialQueue> platformQueue_;
};

}  // namespace orvix::platform::simulated
