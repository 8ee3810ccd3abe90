// The converter: pass-through for 16 kHz mono float, and a resampler whose state runs across
// buffers so a tone cut into pieces comes out whole.
#include "OrvixAudioCaptureHost/pcm_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "platform/simulated/audio/signal_source.h"

namespace orvix::capture {
namespace {

using platform::AudioFormat;
using platform::SampleKind;
using platform::simulated::SignalGenerator;
using platform::simulated::SignalSpec;

// Feeds `frames` frames of a 1 kHz tone in `format` through one converter in buffers of
// `bufferFrames`, and collects what comes out.
std::vector<float> convertTone(PcmConverter& converter, AudioFormat format, std::size_t frames,
                               std::size_t bufferFrames, double frequency = 1000) {
  SignalGenerator generator(SignalSpec{SignalSpec::Kind::tone, frequency, 0.5}, format, 1);
  std::vector<float> output;
  for (std::size_t done = 0; done < frames; done += bufferFrames) {
    const auto view = generator.next(bufferFrames);
    converter.convert(view, [&](const float* samples, std::int64_t count) {
      output.insert(output.end(), samples, samples + count);
    });
  }
  return output;
}

double rms(const std::vector<float>& samples, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += samples[i] * samples[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

// Frequency from upward zero crossings over [from, to) at 16 kHz.
double frequencyOf(const std::vector<float>& samples, std::size_t from, std::size_t to) {
  int crossings = 0;
  for (std::size_t i = from + 1; i < to; ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) ++crossings;
  }
  return crossings * 16000.0 / static_cast<double>(to - from);
}

TEST(PcmConverter, SixteenKilohertzMonoFloatBypassesTheResampler) {
  PcmConverter converter;
  const std::vector<float> samples = {0.1f, 0.2f, 0.3f};
  const void* planes[] = {samples.data()};
  const float* seen = nullptr;
  std::int64_t seenCount = 0;
  converter.convert(platform::PcmBufferView{PcmConverter::kOutputFormat, 3, planes, std::nullopt},
                    [&](const float* out, std::int64_t count) {
                      seen = out;
                      seenCount = count;
                    });
  EXPECT_EQ(seen, samples.data());  // the very same samples, no copy
  EXPECT_EQ(seenCount, 3);
  EXPECT_EQ(converter.resamplerBuilds(), 0);
}

TEST(PcmConverter, StereoToneAt48kArrivesAt16kMonoWithFrequencyAndLevelKept) {
  PcmConverter converter;
  const AudioFormat stereo{48000, 2, SampleKind::float32, false};
  // 2 s in buffers of 441 frames: no buffer boundary lines up with the 3:1 ratio.
  const auto output = convertTone(converter, stereo, 96000 - 96000 % 441, 441);
  EXPECT_EQ(converter.resamplerBuilds(), 1);
  // The filter holds back a bounded delay (a few tens of milliseconds) and loses nothing, so
  // twice the input comes out with the same bounded shortfall, not twice of it.
  const double frames = 96000 - 96000 % 441;
  const double shortfall = frames / 3 - static_cast<double>(output.size());
  EXPECT_GE(shortfall, 0);
  EXPECT_LT(shortfall, 1000);
  PcmConverter continued;
  const auto longer = convertTone(continued, stereo, 2 * (96000 - 96000 % 441), 441);
  const double longerShortfall = 2 * frames / 3 - static_cast<double>(longer.size());
  EXPECT_GE(longerShortfall, 0);
  EXPECT_LT(longerShortfall, 1000);
  EXPECT_NEAR(frequencyOf(output, 1000, output.size()), 1000.0, 2.0);
  EXPECT_NEAR(rms(output, 1000, output.size()), 0.5 / std::numbers::sqrt2, 0.01);

  // Cut into pieces or converted at once, the result is the same stream.
  PcmConverter whole;
  const auto reference = convertTone(whole, stereo, 96000 - 96000 % 441, 96000 - 96000 % 441);
  const std::size_t common = std::min(reference.size(), output.size());
  ASSERT_GT(common, 30000u);
  for (std::size_t i = 0; i < common; ++i) ASSERT_NEAR(output[i], reference[i], 1e-4) << i;
}

TEST(PcmConverter, IntegerInterleavedAndOtherRatesConvertToo) {
  for (const AudioFormat format : {AudioFormat{44100, 1, SampleKind::float32, false},
                                   AudioFormat{48000, 2, SampleKind::int16, true},
                                   AudioFormat{32000, 3, SampleKind::int32, false}}) {
    PcmConverter converter;
    const auto frames = static_cast<std::size_t>(format.sampleRate);  // one second
    const auto output = convertTone(converter, format, frames, 1024, 440);
    EXPECT_NEAR(static_cast<double>(output.size()), 16000.0, 1100.0) << format.sampleRate;
    EXPECT_NEAR(frequencyOf(output, 2000, output.size()), 440.0, 3.0) << format.sampleRate;
    EXPECT_NEAR(rms(output, 2000, output.size()), 0.5 / std::numbers::sqrt2, 0.01);
  }
}

TEST(PcmConverter, AFormatChangeRebuildsTheResamplerAndTheSameFormatKeepsIt) {
  PcmConverter converter;
  const AudioFormat first{48000, 2, SampleKind::float32, false};
  const AudioFormat second{44100, 1, SampleKind::float32, false};
  convertTone(converter, first, 4800, 480);
  convertTone(converter, first, 4800, 480);
  EXPECT_EQ(converter.resamplerBuilds(), 1);
  convertTone(converter, second, 4410, 441);
  EXPECT_EQ(converter.resamplerBuilds(), 2);
}

TEST(PcmConverter, UnusableBuffersAreDroppedWithoutOutput) {
  PcmConverter converter;
  int calls = 0;
  const auto count = [&](const float*, std::int64_t) { ++calls; };
  const float sample = 0.5f;
  const void* planes[] = {&sample};
  converter.convert(platform::PcmBufferView{AudioFormat{48000, 0, SampleKind::float32, false}, 1,
                                            planes, std::nullopt},
                    count);
  converter.convert(platform::PcmBufferView{AudioFormat{-1, 1, SampleKind::float32, false}, 1,
                                            planes, std::nullopt},
                    count);
  converter.convert(platform::PcmBufferView{PcmConverter::kOutputFormat, 0, planes, std::nullopt},
                    count);
  platform::AudioSampleBuffer notReady{false, PcmConverter::kOutputFormat, 1, planes, std::nullopt};
  converter.convert(notReady, count);
  platform::AudioSampleBuffer noFormat{true, std::nullopt, 1, planes, std::nullopt};
  converter.convert(noFormat, count);
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace orvix::capture
