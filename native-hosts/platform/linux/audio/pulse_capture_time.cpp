#include "platform/linux/audio/pulse_capture_time.h"

#include <algorithm>
#include <cmath>

namespace orvix::platform::pulse {

namespace {
constexpr std::uint64_t kNanosecondsPerMicrosecond = 1000;
constexpr double kNanosecondsPerSecond = 1e9;
constexpr std::uint64_t kStampWobble = 1'000'000;
constexpr double kSettlingSeconds = 1;
constexpr double kSettlingShare = 1.0 / 4;
// A settling step moves a fragment no further than this from where the last one ended, so the
// stamps of a continuous stream never step back (or jump ahead) by more than a wobble: at 20 ms
// fragments that still covers 100 ms a second.
constexpr double kLongestSettlingStep = 2e6;
constexpr double kFollowShare = 1.0 / 16;
constexpr double kLongestSlew = 500e-6;
constexpr double kDiscontinuity = 50e6;
}  // namespace

std::optional<std::uint64_t> captureTimeOf(std::uint64_t nowMicroseconds,
                                           std::uint64_t latencyMicroseconds, bool negative) {
  const std::uint64_t now = nowMicroseconds * kNanosecondsPerMicrosecond;
  const std::uint64_t latency = latencyMicroseconds * kNanosecondsPerMicrosecond;
  if (negative) return now + latency;
  if (latency > now) return std::nullopt;
  return now - latency;
}

std::uint64_t CaptureTimeFollower::follow(std::uint64_t continuing, std::uint64_t measured,
                                          std::size_t frames, double sampleRate) {
  const double difference = static_cast<double>(measured) - static_cast<double>(continuing);
  if (std::abs(difference) >= kDiscontinuity || !(sampleRate > 0)) {
    restart();
    return measured;
  }
  const double seconds = static_cast<double>(frames) / sampleRate;
  double step = 0;
  if (followedSeconds_ < kSettlingSeconds) {
    step = std::clamp(difference * kSettlingShare, -kLongestSettlingStep, kLongestSettlingStep);
    error_ = difference - step;
  } else {
    // The readings' mean says how far the stamps lie off; they move towards it no faster than a
    // drifting device would, and what they moved is no longer owed.
    error_ += (difference - error_) * kFollowShare;
    const double slew = kLongestSlew * seconds * kNanosecondsPerSecond;
    step = std::clamp(error_ * kFollowShare, -slew, slew);
    error_ -= step;
  }
  followedSeconds_ += seconds;
  return static_cast<std::uint64_t>(static_cast<double>(continuing) + std::round(step));
}

void ArrivalClock::arrived(std::uint64_t at, std::uint64_t framesEnd, double sampleRate) {
  const double duration =
      sampleRate > 0 ? static_cast<double>(framesEnd) * kNanosecondsPerSecond / sampleRate : 0;
  const double start = static_cast<double>(at) - duration;
  while (!earliest_.empty() && earliest_.back().start >= start) earliest_.pop_back();
  earliest_.push_back({at, start});
  while (earliest_.front().arrived + kWindow < at) earliest_.pop_front();
}

std::optional<std::uint64_t> ArrivalClock::start() const {
  if (earliest_.empty()) return std::nullopt;
  return static_cast<std::uint64_t>(std::max(0.0, std::round(earliest_.front().start)));
}

std::uint64_t captureTimeAfter(std::uint64_t start, std::size_t frames, double sampleRate) {
  if (!(sampleRate > 0)) return start;
  return start + static_cast<std::uint64_t>(
                     std::llround(static_cast<double>(frames) * kNanosecondsPerSecond / sampleRate));
}

std::size_t framesLostBetween(std::uint64_t expected, std::uint64_t arrived, double sampleRate,
                              std::size_t longest) {
  if (!(sampleRate > 0) || arrived <= expected + kStampWobble) return 0;
  const double frames =
      std::round(static_cast<double>(arrived - expected) * sampleRate / kNanosecondsPerSecond);
  if (frames >= static_cast<double>(longest)) return longest;
  return static_cast<std::size_t>(frames);
}

}  // namespace orvix::platform::pulse
