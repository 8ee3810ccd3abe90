#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvix::platform::simulated {

// Reads the moments of the "ticks" signal back from 16 kHz 16-bit track files, so that tests and
// benchmarks can say how well two tracks agree on time: a tick is played by every source at the
// same moment of the machine's clock, so its position in one track against the other is the
// tracks' misalignment there.
//
// Only whole ticks count: a burst that a gap fill, a mirrored stretch or an engine switch cut
// short has lost its true onset.
std::optional<std::vector<std::int64_t>> tickOnsetsInTrack(const std::string& path);

struct TickAlignment {
  std::size_t pairs = 0;                    // ticks found whole in both tracks
  double largestMilliseconds = 0;           // the largest |offset| among them
  std::vector<double> offsetsMilliseconds;  // second track minus first, per pair, in order
};

// Pairs each tick of `first` with the tick of `second` within half a second of it.
TickAlignment tickAlignment(const std::vector<std::int64_t>& first,
                            const std::vector<std::int64_t>& second);

}  // namespace orvix::platform::simulated
