#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/time/time_source.h"
#include "platform/process_tap.h"

namespace orvix::capture {

// A mono tap of everything the machine plays except this host and the application that started
// it, read through a private aggregate device that exists only for this recording. Hands each
// buffer to `onAudio` on its I/O queue and reports, at most once and never after stop(), that
// the device died.
//
// start() runs once, on the start-up task, before the capture is handed to anyone who could
// stop it, and undoes what it created when a step fails; stop() is idempotent, safe from any
// thread except the capture's own queues, and only its first call tears down. No platform call is made while the lock is held, so a liveness notice racing with
// stop() sees either the ids (and is harmless) or the stopped flag.
class ProcessTapCapture {
 public:
  using OnAudio = std::function<void(const platform::PcmBufferView&)>;

  ProcessTapCapture(platform::ProcessTaps& taps, TimeSource& time, OnAudio onAudio,
                    std::function<void()> onInterrupted);
  ~ProcessTapCapture();
  ProcessTapCapture(const ProcessTapCapture&) = delete;
  ProcessTapCapture& operator=(const ProcessTapCapture&) = delete;

  bool start();
  void stop();

 private:
  bool setUp();
  std::vector<platform::AudioObjectId> excludedProcesses();
  std::optional<platform::AudioObjectId> processObject(platform::ProcessId pid);
  bool installAliveListener(platform::AudioObjectId device);
  bool deviceIsAlive();
  void reportInterruptionOnce();

  platform::ProcessTaps& taps_;
  // The blocks registered with the server hold this object by plain reference: the I/O
  // procedure is gone once stop() returns, and the destructor drains the state queue before
  // any field goes, so neither block can outlive what it uses.
  std::unique_ptr<SerialQueue> ioQueue_;
  std::unique_ptr<SerialQueue> stateQueue_;
  OnAudio onAudio_;
  std::function<void()> onInterrupted_;

  std::mutex lock_;
  // Guarded by lock_.
  platform::AudioObjectId tapId_ = platform::kNoAudioObject;
  platform::AudioObjectId aggregateDeviceId_ = platform::kNoAudioObject;
  std::optional<platform::IoProcId> ioProcId_;
  std::optional<platform::AudioListenerId> aliveListener_;
  bool started_ = false;
  bool stopped_ = false;
  bool interruptionReported_ = false;
};

}  // namespace orvix::capture
