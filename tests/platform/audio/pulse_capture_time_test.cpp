// Capture times read off libpulse's latency, and the silence that stands in for lost audio.
#include "platform/linux/audio/pulse_capture_time.h"

#include <gtest/gtest.h>

#include <cmath>

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

TEST(PulseCaptureTime, ContinuingFragmentsFollowTheReadingsMeanButNotTheirWobble) {
  // Readings that wobble by 5 ms either way around a clock 300 ppm fast: after a few hundred
  // fragments of 10 ms the stamps lie within a millisecond of the truth, and no fragment's
  // stamp moves by more than a tenth of the wobble from where the last one ended.
  std::uint64_t stamp = 1'000'000'000;
  double truth = 1e9;
  for (int fragment = 0; fragment < 1000; ++fragment) {
    const std::uint64_t continuing = stamp + 10'000'000;
    truth += 10e6 * (1 + 300e-6);
    const double wobble = fragment % 2 == 0 ? 5e6 : -5e6;
    stamp = followedCaptureTime(continuing, static_cast<std::uint64_t>(truth + wobble));
    EXPECT_LE(std::abs(static_cast<double>(stamp) - static_cast<double>(continuing)), 0.5e6);
  }
  EXPECT_NEAR(static_cast<double>(stamp), truth, 1e6);
  // A reading far off is a discontinuity, taken as it is.
  EXPECT_EQ(followedCaptureTime(1'000'000'000, 1'200'000'000), 1'200'000'000U);
}

}  // namespace

}  // namespace orvix::platform::pulse
