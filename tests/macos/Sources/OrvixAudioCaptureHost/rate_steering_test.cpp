// The two halves of following a clock without splicing: the steered converter stage (more or
// fewer samples out, none of them zeros cut into the audio) and the loop that decides the rate
// from a track's offset, which must settle on the devices' drift through wobbling stamps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "OrvixAudioCaptureHost/drift_controller.h"
#include "OrvixAudioCaptureHost/rate_steering.h"

namespace orvix::capture {
namespace {

constexpr double kRate = 16000;

// Runs `seconds` of a 440 Hz tone through `steering` in runs of 10 ms; answers what came out.
std::vector<float> steerTone(RateSteering& steering, int seconds) {
  std::vector<float> run(160);
  std::vector<float> output;
  std::int64_t frame = 0;
  for (int i = 0; i < seconds * 100; ++i) {
    for (float& sample : run) {
      sample = static_cast<float>(
          0.5 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(frame++) / kRate));
    }
    const auto out = steering.process({run.data(), static_cast<std::int64_t>(run.size()), {}});
    output.insert(output.end(), out.samples, out.samples + out.count);
  }
  return output;
}

std::size_t longestZeroRun(const std::vector<float>& samples, std::size_t from) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (std::size_t i = from; i < samples.size(); ++i) {
    run = samples[i] == 0.0F ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

TEST(RateSteeringTest, RunsPassUntouchedUntilACorrectionThenComeOutFasterOrSlowerWithoutGaps) {
  RateSteering untouched;
  const std::vector<float> run(160, 0.25F);
  const auto same = untouched.process({run.data(), 160, 1'000'000});
  EXPECT_EQ(same.samples, run.data());
  EXPECT_EQ(same.count, 160);
  EXPECT_EQ(same.captureTime, 1'000'000U);

  for (const double correction : {0.001, -0.001}) {
    RateSteering steering;
    steering.setCorrection(correction);
    const auto output = steerTone(steering, 60);
    // The filter holds back 15 ms; the rest comes out at the steered rate, 960 samples a minute
    // more or fewer.
    const double expected = 60 * kRate * (1 + correction) - 240;
    EXPECT_NEAR(static_cast<double>(output.size()), expected, 50) << correction;
    EXPECT_LE(longestZeroRun(output, 200), 1U) << "a gap in the tone at " << correction;
  }
}

// A track whose clock runs `drift` faster than its samples, read with `wobble` samples of noise
// on every run of 0.1 s, under the controller for `seconds`: where the track ends up.
struct LoopResult {
  double offset = 0;
  double correction = 0;
  double worstAfterSettling = 0;
};
LoopResult runLoop(double drift, double wobble, int seconds) {
  DriftController controller;
  std::mt19937 random(7);
  std::uniform_real_distribution<double> noise(-wobble, wobble);
  constexpr std::int64_t kRun = 1600;
  LoopResult result;
  for (int run = 0; run < seconds * 10; ++run) {
    result.offset += (drift - controller.correction()) * kRun;
    controller.update(result.offset + noise(random), kRun);
    if (run > 600) result.worstAfterSettling = std::max(result.worstAfterSettling, std::abs(result.offset));
  }
  result.correction = controller.correction();
  return result;
}

TEST(DriftControllerTest, SettlesOnTheDriftWithinAMillisecondThroughWobblingStamps) {
  for (const double drift : {300e-6, -300e-6, 100e-6}) {
    // Stamps that wobble by 3 ms either way: 48 samples at 16 kHz.
    const auto result = runLoop(drift, 48, 30 * 60);
    EXPECT_NEAR(result.correction, drift, 20e-6) << drift;
    EXPECT_LT(result.worstAfterSettling, 16) << "more than a millisecond off at " << drift;
  }
}

}  // namespace
}  // namespace orvix::capture
