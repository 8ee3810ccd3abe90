#include "OrvixAudioCaptureHost/system_audio_startup_readiness.h"

namespace orvix::capture {

SystemAudioStartupReadiness::SystemAudioStartupReadiness(TimeSource& time)
    : time_(time), wake_(time.makeSemaphore(0)) {}

void SystemAudioStartupReadiness::reset() {
  std::lock_guard lock(mutex_);
  ready_ = false;
  cancelled_ = false;
}

void SystemAudioStartupReadiness::markReady() { setFlag(ready_); }

void SystemAudioStartupReadiness::cancel() { setFlag(cancelled_); }

void SystemAudioStartupReadiness::setFlag(bool& flag) {
  {
    std::lock_guard lock(mutex_);
    if (flag) return;
    flag = true;
  }
  wake_->signal();
}

SystemAudioStartupResult SystemAudioStartupReadiness::wait(Duration timeout) {
  const Duration deadline = deadlineAfter(time_.clock().uptime(), timeout);
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (ready_) return SystemAudioStartupResult::ready;
      if (cancelled_) return SystemAudioStartupResult::cancelled;
    }
    const Duration now = time_.clock().uptime();
    if (now >= deadline) return SystemAudioStartupResult::timedOut;
    // A wake-up left over from an earlier attempt just loops once more.
    (void)wake_->waitFor(deadline - now);
  }
}

}  // namespace orvix::capture
