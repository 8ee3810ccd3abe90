#pragma once

#include <algorithm>
#include <cstdint>

#include "OrvixAudioCaptureHost/rate_steering.h"

namespace orvix::capture {

// Turns how far a track lies from where its clock puts it into a rate correction for the track's
// converter: the devices' drift, which the offset's history reveals, plus a share of the offset
// itself. Real stamps wobble by milliseconds from run to run, so the offset is smoothed first,
// and the loop starts quick (settling in seconds, before drift of a few hundred parts per million
// adds up to a millisecond) and grows slower as it learns the drift, until the wobble moves the
// rate by no more than some ten parts per million: a fraction of a sample a second.
class DriftController {
 public:
  // `offset`: samples the track lies behind its clock (ahead, when negative), read off the run
  // just written; `count`: the run's length. Returns the correction to apply from now on.
  double update(double offset, std::int64_t count) {
    constexpr double limit = RateSteering::maximumCorrection;
    const auto samples = static_cast<double>(count);
    elapsed_ += samples;
    const double period =
        std::min(kLongestPeriodSamples, kShortestPeriodSamples + elapsed_ * kPeriodGrowth);
    // Critically damped, with the time constant `period`; smoothed over a quarter of it.
    const double omega = 1 / period;
    smoothed_ += (offset - smoothed_) * std::min(1.0, samples * 4 / period);
    drift_ = std::clamp(drift_ + omega * omega * smoothed_ * samples, -limit, limit);
    correction_ = std::clamp(drift_ + 2 * omega * smoothed_, -limit, limit);
    return correction_;
  }
  double correction() const { return correction_; }
  void reset() { *this = DriftController{}; }

 private:
  // 4 s at first, a second more for every 4 s run, up to 32 s; in samples of the track rate.
  static constexpr double kShortestPeriodSamples = 4 * 16000.0;
  static constexpr double kLongestPeriodSamples = 32 * 16000.0;
  static constexpr double kPeriodGrowth = 0.25;

  double elapsed_ = 0;
  double smoothed_ = 0;
  double drift_ = 0;
  double correction_ = 0;
};

}  // namespace orvix::capture
