#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace orvix::platform::pulse {

// The moment, in nanoseconds of the monotonic clock the host also reads, at which the frame a
// record stream is about to hand over was captured: `now` less the stream's latency, both in
// microseconds as libpulse gives them. A monitor's latency can be negative (the sink's data is
// seen before it is played), so the frame lies ahead of `now`. Absent when the claim would put
// it before the clock began.
std::optional<std::uint64_t> captureTimeOf(std::uint64_t nowMicroseconds,
                                           std::uint64_t latencyMicroseconds, bool negative);

// Stamps the fragments of one stream that follow each other without a loss. A server's latency
// readings wander against the stream's own samples: by tens of milliseconds for a fragment just
// after the stream opened, and on PipeWire's and PulseAudio's monitors in swings of 5 to 20 ms
// over seconds that the audio itself does not make (its clicks stay put to the sample). So a
// fragment is stamped where the last one ended (`continuing`), moved part of the way towards its
// reading (`measured`): a quarter while the stream settles (its first second); later towards
// the readings' smoothed mean, by no more than 500 parts per million of the fragment's length,
// which follows any real device drift (a few hundred at most) but not the readings' swings. A reading
// 50 ms or more away is a real discontinuity: taken as it is, and the stream settles again.
class CaptureTimeFollower {
 public:
  std::uint64_t follow(std::uint64_t continuing, std::uint64_t measured, std::size_t frames,
                       double sampleRate);
  // A new stream, or one that lost audio: settles again from its next reading.
  void restart() {
    followedSeconds_ = 0;
    error_ = 0;
  }

 private:
  double followedSeconds_ = 0;
  // How far the stamps lie from the readings' mean, in nanoseconds.
  double error_ = 0;
};

// Where a stream began on the monotonic clock, as its fragments' arrivals tell: a fragment
// arrives after its last frame was captured, so the earliest arrival less the stream's frames up
// to that fragment's end, over the last two seconds, is the stream's start plus the least delay
// of the delivery. Steady to a tenth of a millisecond where a server's latency readings are not:
// PipeWire's PulseAudio service stamps a timing reply with the moment it is sent, but the
// indices in it are those of its last graph cycle, so its readings are off by up to a cycle and
// move as the two drift in and out of step. A window, not the minimum of all time, so that the
// start follows the device's drift (lagging it by the drift over two seconds).
class ArrivalClock {
 public:
  // At `at`, the stream's audio has arrived up to `framesEnd` frames from its start.
  void arrived(std::uint64_t at, std::uint64_t framesEnd, double sampleRate);
  // Where the stream began, once anything arrived.
  std::optional<std::uint64_t> start() const;
  // A stream that lost audio, or a new one: its frames count from zero again.
  void restart() { earliest_.clear(); }

 private:
  static constexpr std::uint64_t kWindow = 2'000'000'000;
  struct Arrival {
    std::uint64_t arrived;
    double start;
  };
  // The arrivals in the window that may still be the earliest: their starts rise.
  std::deque<Arrival> earliest_;
};

// The capture time `frames` frames after `start`.
std::uint64_t captureTimeAfter(std::uint64_t start, std::size_t frames, double sampleRate);

// How many frames of silence stand in for the audio between `expected` (where the last
// delivered frame ended) and `arrived` (the stamp of the first frame after a loss), at most
// `longest`. Lateness within a millisecond is the stamps' own wobble, not a loss.
std::size_t framesLostBetween(std::uint64_t expected, std::uint64_t arrived, double sampleRate,
                              std::size_t longest);

}  // namespace orvix::platform::pulse
