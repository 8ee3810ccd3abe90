#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/process_tap.h"
#include "platform/simulated/audio/audio_scenario.h"
#include "platform/simulated/audio/signal_source.h"

namespace orvix::platform::simulated {

class SimulatedAudioWorld;

// The simulated audio server's taps, aggregate devices, I/O procedures and liveness listeners.
// Keeps every object the host creates until the host destroys it, so a test can see what a
// failed set-up or a stop left behind; the step the scenario names fails, and a started device
// delivers the scenario's tap signal until it is stopped or dies.
class SimulatedProcessTaps final : public ProcessTaps {
 public:
  // The simulated host and its parent.
  static constexpr ProcessId kHostProcessId = 4100;
  static constexpr ProcessId kParentProcessId = 4000;

  explicit SimulatedProcessTaps(SimulatedAudioWorld& world) : world_(world) {}
  ~SimulatedProcessTaps() override;

  ProcessId currentProcessId() override { return kHostProcessId; }
  ProcessId parentProcessId() override { return kParentProcessId; }
  std::optional<AudioObjectId> processObject(ProcessId pid) override;
  std::optional<AudioObjectId> createProcessTap(const ProcessTapDescription& description) override;
  void destroyProcessTap(AudioObjectId tap) override;
  std::optional<AudioFormat> tapFormat(AudioObjectId tap) override;
  std::optional<AudioObjectId> createAggregateDevice(
      const AggregateDeviceDescription& description) override;
  void destroyAggregateDevice(AudioObjectId device) override;
  std::optional<IoProcId> createIoProc(
      AudioObjectId device, SerialQueue& queue,
      std::function<void(const AudioBufferListView& input)> block) override;
  void destroyIoProc(AudioObjectId device, IoProcId proc) override;
  bool startDevice(AudioObjectId device, IoProcId proc) override;
  void stopDevice(AudioObjectId device, IoProcId proc) override;
  std::optional<bool> deviceIsAlive(AudioObjectId device) override;
  std::optional<AudioListenerId> addDeviceAliveListener(AudioObjectId device, SerialQueue& queue,
                                                        std::function<void()> onChange) override;
  void removeDeviceAliveListener(AudioObjectId device, AudioListenerId listener) override;

  // Every aggregate device dies (output device unplugged, server restart): its audio ends and
  // its liveness listeners hear of it. Calling it again repeats the notice.
  void simulateLoss();
  // The listeners hear a liveness change while every device still runs.
  void notifyAliveListeners();
  // Taps, devices, I/O procedures and listeners created and not yet destroyed.
  std::size_t liveObjects();
  std::optional<ProcessTapDescription> lastTapDescription();

 private:
  struct IoProc {
    AudioObjectId device = kNoAudioObject;
    SerialQueue* queue = nullptr;
    std::function<void(const AudioBufferListView&)> block;
    std::unique_ptr<SimulatedSource> source;
  };
  struct Listener {
    AudioObjectId device = kNoAudioObject;
    SerialQueue* queue = nullptr;
    std::function<void()> onChange;
  };

  bool fails(ProcessTapStep step);
  void notifyLocked();

  SimulatedAudioWorld& world_;
  // Held while sources start and stop: their deliveries never call back in here.
  std::mutex mutex_;
  std::uint32_t nextId_ = 100;
  std::map<AudioObjectId, ProcessTapDescription> taps_;
  std::map<AudioObjectId, bool> devicesAlive_;
  std::map<IoProcId, IoProc> ioProcs_;
  std::map<AudioListenerId, Listener> listeners_;
  std::optional<ProcessTapDescription> lastTapDescription_;
};

}  // namespace orvix::platform::simulated
