#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/time/serial_queue.h"
#include "platform/audio_format.h"
#include "platform/process_id.h"

namespace orvix::platform {

// An audio object of the audio server (process object, tap, device); 0 names none.
using AudioObjectId = std::uint32_t;
inline constexpr AudioObjectId kNoAudioObject = 0;

// A registered I/O procedure of a device, and a registered property listener.
using IoProcId = std::uint64_t;
using AudioListenerId = std::uint64_t;

// A global tap of everything the machine plays, except the given process objects.
struct ProcessTapDescription {
  std::string name;
  std::string uuid;  // how an aggregate device names the tap it reads
  std::vector<AudioObjectId> excludedProcesses;
  bool mono = true;
  bool isPrivate = true;
  bool muted = false;  // a muted tap would silence what it records
};

// A device that exists only for its creator and reads one tap.
struct AggregateDeviceDescription {
  std::string name;
  std::string uid;
  bool isPrivate = true;
  bool tapAutoStart = false;
  std::string tapUuid;
  bool tapDriftCompensation = true;
};

// One buffer of an I/O cycle's input buffer list as the server hands it over: `channelCount`
// interleaved channels in `byteSize` bytes.
struct AudioBufferView {
  std::uint32_t channelCount = 0;
  std::size_t byteSize = 0;
  const void* data = nullptr;
};

// The input buffer list of one I/O cycle; valid only during the callback that hands it over.
// `inputTime` is the cycle's input time stamp: the machine's uptime, in nanoseconds, at which
// its first frame was captured, when the server says.
struct AudioBufferListView {
  const AudioBufferView* buffers = nullptr;
  std::size_t count = 0;
  std::optional<std::uint64_t> inputTime;
};

// The audio server's process-tap facilities, one call per server operation, so that the order
// of set-up and tear-down and every failure between them are the caller's to handle.
//
// Notes for implementers: every call may come from any thread. A failed call returns empty or
// false and has created nothing. The I/O block runs on `queue` once per cycle until the I/O
// procedure is destroyed, and no block runs after destroyIoProc() returns; a listener block runs
// on its queue and may still run once after it was removed. Destroy calls ignore stale ids.
class ProcessTaps {
 public:
  virtual ~ProcessTaps() = default;

  // The process this program runs in and the one that launched it.
  virtual ProcessId currentProcessId() = 0;
  virtual ProcessId parentProcessId() = 0;
  // The server's object for a process; empty when the process has none (it plays no audio).
  virtual std::optional<AudioObjectId> processObject(ProcessId pid) = 0;

  virtual std::optional<AudioObjectId> createProcessTap(
      const ProcessTapDescription& description) = 0;
  virtual void destroyProcessTap(AudioObjectId tap) = 0;
  // The format of the tap's stream.
  virtual std::optional<AudioFormat> tapFormat(AudioObjectId tap) = 0;

  virtual std::optional<AudioObjectId> createAggregateDevice(
      const AggregateDeviceDescription& description) = 0;
  virtual void destroyAggregateDevice(AudioObjectId device) = 0;

  virtual std::optional<IoProcId> createIoProc(
      AudioObjectId device, SerialQueue& queue,
      std::function<void(const AudioBufferListView& input)> block) = 0;
  virtual void destroyIoProc(AudioObjectId device, IoProcId proc) = 0;
  virtual bool startDevice(AudioObjectId device, IoProcId proc) = 0;
  virtual void stopDevice(AudioObjectId device, IoProcId proc) = 0;

  // Whether the device still runs; empty when it cannot be read.
  virtual std::optional<bool> deviceIsAlive(AudioObjectId device) = 0;
  // `onChange` runs on `queue` whenever the device's liveness changes.
  virtual std::optional<AudioListenerId> addDeviceAliveListener(AudioObjectId device,
                                                                SerialQueue& queue,
                                                                std::function<void()> onChange) = 0;
  virtual void removeDeviceAliveListener(AudioObjectId device, AudioListenerId listener) = 0;
};

}  // namespace orvix::platform
