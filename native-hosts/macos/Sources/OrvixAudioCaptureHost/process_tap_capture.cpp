// Setting up and tearing down a process tap, its private aggregate device and I/O procedure.
#include "OrvixAudioCaptureHost/process_tap_capture.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "OrvixAudioCaptureHost/capture_constants.h"
#include "common/uuid.h"

namespace orvix::capture {

namespace {

using platform::AudioObjectId;
using platform::kNoAudioObject;

constexpr const char* kDeviceName = "Orvix Computer Recording";
// A tap's buffer list has one buffer per plane; anything wider is not a tap we asked for.
constexpr std::size_t kMaximumPlanes = 16;

// The server tells taps and devices apart by these names only, so each recording's must be
// new; upper case, as the platform's own UUID strings are written.
std::string newUuidString() { return randomUuidText(LetterCase::upper); }

// Calls `deliver` with the cycle's input seen as PCM of `format`, without copying; a list that
// does not match the format, or holds no whole frame, is not delivered.
template <typename Deliver>
void withPcmBuffer(const platform::AudioFormat& format, const platform::AudioBufferListView& list,
                   Deliver&& deliver) {
  const std::size_t planes = format.planeCount();
  if (planes == 0 || planes > kMaximumPlanes || list.count != planes || list.buffers == nullptr) {
    return;
  }
  const std::size_t bytesPerFrame = format.samplesPerFrameInPlane() * format.bytesPerSample();
  std::array<const void*, kMaximumPlanes> pointers{};
  std::size_t frames = SIZE_MAX;
  for (std::size_t i = 0; i < planes; ++i) {
    const auto& buffer = list.buffers[i];
    if (buffer.data == nullptr || buffer.channelCount != format.samplesPerFrameInPlane()) return;
    pointers[i] = buffer.data;
    frames = std::min(frames, buffer.byteSize / bytesPerFrame);
  }
  if (frames == 0) return;
  deliver(platform::PcmBufferView{format, frames, pointers.data(), list.inputTime});
}

}  // namespace

ProcessTapCapture::ProcessTapCapture(platform::ProcessTaps& taps, TimeSource& time,
                                     OnAudio onAudio, std::function<void()> onInterrupted)
    : taps_(taps),
      ioQueue_(time.makeSerialQueue(queueLabel(".audio-capture.process-tap"))),
      stateQueue_(time.makeSerialQueue(queueLabel(".audio-capture.process-tap.state"))),
      onAudio_(std::move(onAudio)),
      onInterrupted_(std::move(onInterrupted)) {}

ProcessTapCapture::~ProcessTapCapture() {
  stop();
  // Waits for a liveness notice already running and drops those still queued, while the fields
  // they read are still here.
  stateQueue_.reset();
  ioQueue_.reset();
}

bool ProcessTapCapture::start() {
  if (setUp()) return true;
  stop();
  return false;
}

bool ProcessTapCapture::setUp() {
  platform::ProcessTapDescription tap;
  tap.name = kDeviceName;
  tap.uuid = newUuidString();
  tap.excludedProcesses = excludedProcesses();
  const auto tapId = taps_.createProcessTap(tap);
  if (!tapId || *tapId == kNoAudioObject) return false;
  {
    std::lock_guard lock(lock_);
    tapId_ = *tapId;
  }

  platform::AggregateDeviceDescription device;
  device.name = kDeviceName;
  device.uid = queueLabel(".audio-capture.") + newUuidString();
  device.tapUuid = tap.uuid;
  const auto deviceId = taps_.createAggregateDevice(device);
  if (!deviceId || *deviceId == kNoAudioObject) return false;
  {
    std::lock_guard lock(lock_);
    aggregateDeviceId_ = *deviceId;
  }

  const auto format = taps_.tapFormat(*tapId);
  if (!format || !(format->sampleRate > 0) || format->channelCount == 0) return false;

  const auto ioProc = taps_.createIoProc(
      *deviceId, *ioQueue_, [this, format = *format](const platform::AudioBufferListView& input) {
        withPcmBuffer(format, input, [this](const platform::PcmBufferView& view) { onAudio_(view); });
      });
  if (!ioProc) return false;
  {
    std::lock_guard lock(lock_);
    ioProcId_ = *ioProc;
  }
  if (!installAliveListener(*deviceId)) return false;
  if (!taps_.startDevice(*deviceId, *ioProc)) return false;
  std::lock_guard lock(lock_);
  started_ = true;
  return true;
}

std::vector<AudioObjectId> ProcessTapCapture::excludedProcesses() {
  // Our own audio and the application's (its sounds and playback previews) do not belong in a
  // recording of the computer; a process without an object plays nothing and needs no
  // exclusion.
  std::vector<AudioObjectId> excluded;
  for (const platform::ProcessId pid : {taps_.currentProcessId(), taps_.parentProcessId()}) {
    if (const auto object = processObject(pid)) excluded.push_back(*object);
  }
  return excluded;
}

std::optional<AudioObjectId> ProcessTapCapture::processObject(platform::ProcessId pid) {
  const auto object = taps_.processObject(pid);
  if (!object || *object == kNoAudioObject) return std::nullopt;
  return object;
}

bool ProcessTapCapture::installAliveListener(AudioObjectId device) {
  const auto listener = taps_.addDeviceAliveListener(device, *stateQueue_, [this] {
    if (!deviceIsAlive()) reportInterruptionOnce();
  });
  if (!listener) return false;
  std::lock_guard lock(lock_);
  aliveListener_ = *listener;
  return true;
}

bool ProcessTapCapture::deviceIsAlive() {
  AudioObjectId device = kNoAudioObject;
  {
    std::lock_guard lock(lock_);
    if (stopped_) return false;
    device = aggregateDeviceId_;
  }
  if (device == kNoAudioObject) return false;
  return taps_.deviceIsAlive(device).value_or(false);
}

void ProcessTapCapture::reportInterruptionOnce() {
  bool report = false;
  {
    std::lock_guard lock(lock_);
    report = !stopped_ && !interruptionReported_;
    interruptionReported_ = true;
  }
  if (report && onInterrupted_) onInterrupted_();
}

void ProcessTapCapture::stop() {
  bool started = false;
  std::optional<platform::IoProcId> ioProc;
  std::optional<platform::AudioListenerId> listener;
  AudioObjectId device = kNoAudioObject;
  AudioObjectId tap = kNoAudioObject;
  {
    std::lock_guard lock(lock_);
    if (stopped_) return;
    stopped_ = true;
    started = std::exchange(started_, false);
    ioProc = std::exchange(ioProcId_, std::nullopt);
    listener = std::exchange(aliveListener_, std::nullopt);
    device = std::exchange(aggregateDeviceId_, kNoAudioObject);
    tap = std::exchange(tapId_, kNoAudioObject);
  }
  // Reverse order of creation; results are ignored, there is nothing left to do about them.
  if (device != kNoAudioObject && listener) taps_.removeDeviceAliveListener(device, *listener);
  if (device != kNoAudioObject && ioProc) {
    if (started) taps_.stopDevice(device, *ioProc);
    taps_.destroyIoProc(device, *ioProc);
  }
  if (device != kNoAudioObject) taps_.destroyAggregateDevice(device);
  if (tap != kNoAudioObject) taps_.destroyProcessTap(tap);
}

}  // namespace orvix::capture
