#include "platform/simulated/audio/tick_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

namespace orvix::platform::simulated {

namespace {

constexpr double kSamplesPerMillisecond = 16;
// A tick is 2 ms (32 samples) of a tenth of full scale or more; after resampling its edges
// soften by a sample or two, so a burst counts as whole from 28 samples on. Bursts are a second
// apart, so anything longer than 40 is not one tick.
constexpr int kThreshold = 3277;
constexpr std::int64_t kShortestWholeTick = 28;
constexpr std::int64_t kLongestTick = 40;

}  // namespace

std::optional<std::vector<std::int64_t>> tickOnsetsInTrack(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::vector<std::int64_t> onsets;
  std::vector<std::int16_t> chunk(1 << 16);
  std::int64_t index = 0;
  constexpr std::int64_t kQuiet = -1;
  std::int64_t burstStart = kQuiet;  // where the running burst began
  while (file) {
    file.read(reinterpret_cast<char*>(chunk.data()),
              static_cast<std::streamsize>(chunk.size() * sizeof(std::int16_t)));
    const auto read = static_cast<std::size_t>(file.gcount()) / sizeof(std::int16_t);
    for (std::size_t i = 0; i < read; ++i, ++index) {
      const bool loud = std::abs(static_cast<int>(chunk[i])) >= kThreshold;
      if (loud && burstStart == kQuiet) burstStart = index;
      if (!loud && burstStart != kQuiet) {
        const std::int64_t length = index - burstStart;
        if (length >= kShortestWholeTick && length <= kLongestTick) onsets.push_back(burstStart);
        burstStart = kQuiet;
      }
    }
  }
  return onsets;
}

TickAlignment tickAlignment(const std::vector<std::int64_t>& first,
                            const std::vector<std::int64_t>& second) {
  TickAlignment alignment;
  constexpr std::int64_t kHalfSecond = 8000;
  for (const std::int64_t onset : first) {
    const auto next = std::lower_bound(second.begin(), second.end(), onset - kHalfSecond);
    if (next == second.end() || std::llabs(*next - onset) >= kHalfSecond) continue;
    const double offset = static_cast<double>(*next - onset) / kSamplesPerMillisecond;
    ++alignment.pairs;
    alignment.offsetsMilliseconds.push_back(offset);
    alignment.largestMilliseconds = std::max(alignment.largestMilliseconds, std::abs(offset));
  }
  return alignment;
}

}  // namespace orvix::platform::simulated
