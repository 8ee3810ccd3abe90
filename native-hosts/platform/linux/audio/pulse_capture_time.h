#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace orvix::platform::pulse {

// The moment, in nanoseconds of the monotonic clock the host also reads, at which the frame a
// record stream is about to hand over was captured: `now` less the stream's latency, both in
// microseconds as libpulse gives them. A monitor's latency can be negative (the sink's data is
// seen before it is played), so the frame lies ahead of `now`. Absent when the claim would put
// it before the clock began.
std::optional<std::uint64_t> captureTimeOf(std::uint64_t nowMicroseconds,
                                           std::uint64_t latencyMicroseconds, bool negative);

// The capture time of a fragment that follows the last one without a loss: where the last one
// ended (`continuing`), moved a sixteenth of the way towards what the server's latency says
// (`measured`). A latency reading wobbles by milliseconds from fragment to fragment, while the
// samples themselves run at the device's steady rate; so the stamps keep that rate and follow
// the readings' mean, and with it the device's drift, within a few fragments. A reading 50 ms or
// more away is a real discontinuity and is taken as it is.
std::uint64_t followedCaptureTime(std::uint64_t continuing, std::uint64_t measured);

// The capture time `frames` frames after `start`.
std::uint64_t captureTimeAfter(std::uint64_t start, std::size_t frames, double sampleRate);

// How many frames of silence stand in for the audio between `expected` (where the last
// delivered frame ended) and `arrived` (the stamp of the first frame after a loss), at most
// `longest`. Lateness within a millisecond is the stamps' own wobble, not a loss.
std::size_t framesLostBetween(std::uint64_t expected, std::uint64_t arrived, double sampleRate,
                              std::size_t longest);

}  // namespace orvix::platform::pulse
