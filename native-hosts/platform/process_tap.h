#pragma once

#include <functional>
#include <memory>

#include "platform/audio_format.h"

namespace orvix::platform {

struct ProcessTapCallbacks {
  // One buffer of everything the machine plays; called on the tap's own serial queue.
  std::function<void(const PcmBufferView&)> onAudio;
  // The source is gone (output device unplugged, audio server restarted); called at most once,
  // never after stop().
  std::function<void()> onInterrupted;
};

// A mono capture of all system output except this process and its parent.
//
// Notes for implementers: start() runs on a start-up task thread and returns false when any
// step failed (what was set up is torn down again); stop() is idempotent, safe from any thread
// and after a failed start, and no callback runs once it has returned.
class ProcessTap {
 public:
  virtual ~ProcessTap() = default;
  virtual bool start() = 0;
  virtual void stop() = 0;
};

// Where taps come from; absent on platforms that have none (before macOS 14.2, Linux).
class ProcessTapFactory {
 public:
  virtual ~ProcessTapFactory() = default;
  virtual std::unique_ptr<ProcessTap> makeTap(ProcessTapCallbacks callbacks) = 0;
};

}  // namespace orvix::platform
