#pragma once

#include <memory>
#include <string>

#include "common/time/real_run_loop.h"
#include "common/time/time_source.h"

namespace orvix {

// Monotonic uptime from std::chrono::steady_clock (its epoch is boot time on Linux and macOS).
class RealClock final : public Clock {
 public:
  Duration uptime() const override;
};

// Time and threads for the programs: steady_clock, std::thread, mutexes and condition
// variables. mainLoop() runs on whichever thread calls its run(), normally main().
class RealTimeSource final : public TimeSource {
 public:
  RealTimeSource();

  const Clock& clock() const override { return clock_; }
  RunLoop& mainLoop() override { return mainLoop_; }
  std::unique_ptr<RunLoop> makeRunLoop(std::string name) override;
  void sleepFor(Duration duration) override;
  std::unique_ptr<Semaphore> makeSemaphore(int initialCount) override;
  std::unique_ptr<NamedThread> startThread(std::string name, std::function<void()> body) override;

 private:
  RealClock clock_;
  RealRunLoop mainLoop_;
};

}  // namespace orvix
