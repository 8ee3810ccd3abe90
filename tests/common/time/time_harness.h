#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/time/real_time_source.h"
#include "common/time/virtual_time_source.h"

namespace orvix::testing {

using namespace std::chrono_literals;

// Lets the shared behaviour suite "let time pass" on either source. On real time it pumps the
// main loop on the test's thread with generous limits, so a loaded machine slows the suite
// down but never fails it; on virtual time it advances the clock.
struct RealHarness {
  static constexpr bool kVirtual = false;
  RealTimeSource time;

  void pass(Duration duration) { time.mainLoop().runFor(duration); }

  bool eventually(const std::function<bool()>& condition) {
    const Duration giveUpAt = time.clock().uptime() + 10s;
    while (!condition()) {
      if (time.clock().uptime() > giveUpAt) return false;
      time.mainLoop().runFor(1ms);
    }
    return true;
  }
};

struct VirtualHarness {
  static constexpr bool kVirtual = true;
  VirtualTimeSource time;

  void pass(Duration duration) { time.advanceBy(duration); }

  bool eventually(const std::function<bool()>& condition) {
    for (int step = 0; step < 10000; ++step) {
      time.runUntilIdle();
      if (condition()) return true;
      time.advanceBy(1ms);
    }
    return false;
  }
};

// An ordered record of what happened, safe to append to from any thread.
class Trace {
 public:
  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

}  // namespace orvix::testing

namespace orvix::testing {

// Names the typed-test instances "Real" and "Virtual" in test output.
struct HarnessName {
  template <typename Harness>
  static std::string GetName(int) {
    return Harness::kVirtual ? "Virtual" : "Real";
  }
};

}  // namespace orvix::testing
