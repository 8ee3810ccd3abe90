// Capture times read off libpulse's latency, and the silence that stands in for lost audio.
#include "platform/linux/audio/pulse_capture_time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace orvix::platform::pulse {

namespace {

TEST(PulseCaptureTime, ALatencyIsTakenFromNowOrAddedWhenNegative) {
  EXPECT_EQ(captureTimeOf(10'000, 2'500, false), 7'500'000U);
  // A monitor sees the sink's audio before it is played: the frame lies ahead of now.
  EXPECT_EQ(captureTimeOf(10'000, 2'500, true), 12'500'000U);
  // A latency past the clock's beginning is no moment at all.
  EXPECT_EQ(captureTimeOf(1'000, 2'500, false), std::nullopt);
}

TEST(PulseCaptureTime, OnlyARealGapBecomesSilenceAndNeverMoreThanTheLongest) {
  const std::uint64_t expected = 1'000'000'000;
  EXPECT_EQ(framesLostBetween(expected, expected + 500'000, 48000, 96000), 0U) << "wobble";
  EXPECT_EQ(framesLostBetween(expected, expected - 20'000'000, 48000, 96000), 0U) << "early";
  EXPECT_EQ(framesLostBetween(expected, expected + 20'000'000, 48000, 96000), 960U);
  EXPECT_EQ(framesLostBetween(expected, expected + 9'000'000'000, 48000, 96000), 96000U);
  EXPECT_EQ(captureTimeAfter(expected, 960, 48000), expected + 20'000'000);
}

// Fragments of 10 ms stamped from readings `reading(fragment, truth)` of a clock running
// `drift` fast; the largest error against the truth after the first `settled` fragments.
double worstStampError(double drift, int settled,
                       const std::function<double(int fragment, double truth)>& reading) {
  CaptureTimeFollower follower;
  double truth = 1e9;
  std::uint64_t stamp = follower.follow(0, static_cast<std::uint64_t>(reading(0, truth)), 480, 48000);
  stamp = static_cast<std::uint64_t>(truth);  // the first reading is taken as it is
  double worst = 0;
  for (int fragment = 1; fragment < 6000; ++fragment) {
    const std::uint64_t continuing = stamp + 10'000'000;
    truth += 10e6 * (1 + drift);
    stamp = follower.follow(continuing, static_cast<std::uint64_t>(reading(fragment, truth)), 480,
                            48000);
    if (fragment >= settled) worst = std::max(worst, std::abs(static_cast<double>(stamp) - truth));
  }
  return worst;
}

TEST(PulseCaptureTime, StampsFollowADevicesDriftButNeitherTheReadingsWobbleNorTheirSwings) {
  // Readings 5 ms either way from fragment to fragment, around a clock 300 ppm fast or slow.
  for (const double drift : {300e-6, -300e-6}) {
    EXPECT_LT(worstStampError(drift, 300, [](int fragment, double truth) {
                return truth + (fragment % 2 == 0 ? 5e6 : -5e6);
              }),
              1e6)
        << drift;
  }
  // A swing of 12 ms over two seconds and back, as a monitor's readings make, moves the stamps
  // by under 2 ms.
  EXPECT_LT(worstStampError(0, 0, [](int fragment, double truth) {
              const double phase = std::min(1.0, std::abs(fragment - 300) / 200.0);
              return truth + 12e6 * (1 - phase);
            }),
            2e6);
  // A reading far off is a discontinuity, taken as it is.
  CaptureTimeFollower follower;
  EXPECT_EQ(follower.follow(1'000'000'000, 1'200'000'000, 480, 48000), 1'200'000'000U);
  // In a stream's first second a reading 40 ms early is moved towards in steps, none of which
  // takes a fragment back past 2 ms of where the last one ended.
  const std::uint64_t continuing = 2'000'000'000;
  const std::uint64_t early = follower.follow(continuing, continuing - 40'000'000, 480, 48000);
  EXPECT_LT(early, continuing);
  EXPECT_GE(early, continuing - 2'000'000);
}

// 20 ms fragments from a device running `drift` fast, delivered 0.2 to 15 ms after their last
// frame (0.2 ms for one in ten) and now and then held back 120 ms: each fragment is placed by the
// least delay, not the mean, and the device's drift is followed, lagging by at most the drift of
// the clock's two-second window. After a loss nothing of the old count is kept.
TEST(PulseCaptureTime, ArrivalsPlaceAStreamByItsEarliestFragmentsAndFollowItsDrift) {
  for (const double drift : {0.0, 300e-6, -300e-6}) {
    ArrivalClock clock;
    double worst = 0;
    for (int fragment = 0; fragment < 3000; ++fragment) {
      const auto framesEnd = static_cast<std::uint64_t>(fragment + 1) * 960;
      const double nominal = static_cast<double>(framesEnd) * 1e9 / 48000;
      const double captured = 1e9 + nominal / (1 + drift);
      const double delay = fragment % 400 >= 390 ? 120e6
                           : fragment % 10 == 0  ? 0.2e6
                                                 : 0.2e6 + (fragment * 7919 % 100) * 0.148e6;
      clock.arrived(static_cast<std::uint64_t>(captured + delay), framesEnd, 48000);
      const double placed = static_cast<double>(clock.start().value_or(0)) + nominal;
      if (fragment >= 10) worst = std::max(worst, std::abs(placed - captured));
    }
    EXPECT_LT(worst, 0.25e6 + std::abs(drift) * 2e9) << drift;
  }
  ArrivalClock clock;
  clock.arrived(5'000'000'000, 48000, 48000);
  clock.restart();
  clock.arrived(9'000'000'000, 960, 48000);
  EXPECT_EQ(clock.start(), 8'980'000'000U);
}

}  // namespace

}  // namespace orvix::platform::pulse
