#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "common/time/run_loop.h"

namespace orvix::ble_host {

// A one-shot timer that knows which start it belongs to. Every start takes a new generation and
// the action runs only while its generation is still the active one, so an action that was
// already on its way when the timer was restarted or cleared does nothing to the newer state.
class GenerationTimer {
 public:
  GenerationTimer() = default;
  GenerationTimer(const GenerationTimer&) = delete;
  GenerationTimer& operator=(const GenerationTimer&) = delete;
  ~GenerationTimer() { clear(); }

  void start(RunLoop& loop, Duration delay, std::function<void()> action) {
    clear();
    const std::uint64_t generation = ++generation_;
    active_ = generation;
    timer_ = loop.scheduleAfter(delay, [this, generation, action = std::move(action)] {
      if (active_ == generation) action();
    });
  }
  void clear() {
    timer_.cancel();
    timer_ = TimerHandle();
    active_.reset();
  }
  // True from start() until clear(), also after the action ran (a fallback that found the link
  // still up keeps its disconnection in progress).
  bool active() const { return active_.has_value(); }

 private:
  TimerHandle timer_;
  std::uint64_t generation_ = 0;
  std::optional<std::uint64_t> active_;
};

}  // namespace orvix::ble_host
