#include "tools/sbc-decoder/standin/synthetic_recording.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>

namespace orvix::sbc_decoder {
namespace {

void putBigEndian32(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<unsigned char>(value >> shift));
}

}  // namespace

std::vector<std::int16_t> syntheticStereoSamples(std::int64_t frames, int sampleRate) {
  std::vector<std::int16_t> samples(static_cast<std::size_t>(frames * 2));
  const double rate = sampleRate;
  for (std::int64_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double level = 0.55 + 0.35 * std::sin(2 * std::numbers::pi * 0.5 * t);
    const double left = level * (0.6 * std::sin(2 * std::numbers::pi * 440 * t) +
                                 0.2 * std::sin(2 * std::numbers::pi * 2300 * t));
    const double right = level * (0.5 * std::sin(2 * std::numbers::pi * 1000 * t + 1.0) +
                                  0.3 * std::sin(2 * std::numbers::pi * 150 * t));
    samples[static_cast<std::size_t>(2 * i)] = static_cast<std::int16_t>(std::lrint(left * 20000));
    samples[static_cast<std::size_t>(2 * i + 1)] =
        static_cast<std::int16_t>(std::lrint(right * 20000));
  }
  return samples;
}

bool writeSyntheticRecording(const std::string& path, std::int64_t frames, int sampleRate) {
  const std::vector<std::int16_t> samples = syntheticStereoSamples(frames, sampleRate);
  std::vector<unsigned char> bytes;
  bytes.reserve(24 + samples.size() * 2);
  putBigEndian32(bytes, 0x2e736e64);  // ".snd"
  putBigEndian32(bytes, 24);          // header size
  putBigEndian32(bytes, static_cast<std::uint32_t>(samples.size() * 2));
  putBigEndian32(bytes, 3);  // 16-bit linear PCM
  putBigEndian32(bytes, static_cast<std::uint32_t>(sampleRate));
  putBigEndian32(bytes, 2);  // channels
  for (const std::int16_t sample : samples) {
    const auto bits = static_cast<std::uint16_t>(sample);
    bytes.push_back(static_cast<unsigned char>(bits >> 8));
    bytes.push_back(static_cast<unsigned char>(bits & 0xFF));
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                             &std::fclose);
  if (!file) return false;
  return std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
}

}  // namespace orvix::sbc_decoder
