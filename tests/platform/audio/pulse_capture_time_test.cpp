// Capture times read off libpulse's latency, and the silence that stands in for lost audio.
#include "platform/linux/audio/pulse_capture_time.h"

#include <gtest/gtest.h>

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

}  // namespace

}  // namespace orvix::platform::pulse
