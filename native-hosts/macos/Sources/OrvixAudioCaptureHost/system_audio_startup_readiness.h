#pragma once

#include <memory>
#include <mutex>

#include "common/time/time_source.h"

namespace orvix::capture {

enum class SystemAudioStartupResult { ready, cancelled, timedOut };

// The handshake between a system-audio start-up attempt and its first audio: the attempt waits
// until the backend has written real samples, the attempt is abandoned, or the time is up.
// markReady() comes from the audio queue, cancel() from stop or a failing stream, wait() blocks
// the start-up task.
class SystemAudioStartupReadiness {
 public:
  explicit SystemAudioStartupReadiness(TimeSource& time);

  void reset();
  void markReady();
  void cancel();
  SystemAudioStartupResult wait(Duration timeout);

 private:
  // Wakes a waiter only when a flag turns on, so a stream of markReady() calls (one per buffer)
  // leaves at most two wake-ups per attempt behind.
  void setFlag(bool& flag);

  TimeSource& time_;
  std::unique_ptr<Semaphore> wake_;
  std::mutex mutex_;
  bool ready_ = false;
  bool cancelled_ = false;
};

}  // namespace orvix::capture
