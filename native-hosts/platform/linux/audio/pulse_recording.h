#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/audio/pulse_capture_time.h"
#include "platform/linux/audio/pulse_connection.h"

struct pa_stream;

namespace orvix::platform::pulse {

// One record stream on a connection: float32 frames of the source's own rate and channels, in
// fragments of about `fragmentFrames`, so the server neither converts nor remixes and each
// wake-up brings a predictable amount.
//
// Every fragment carries the capture time of its first frame, on the monotonic clock the host
// reads: the stream's interpolated latency taken from the clock's now as the fragment is read,
// carried forward from the last fragment while the server has not yet sent timing. On PipeWire,
// whose latency readings are off by up to a graph cycle, the fragments' arrivals place them
// instead, less the device's own delay from the timing (ArrivalClock). Audio the
// stream lost is handed on as silence of the same length, so the frames delivered stay a
// continuous timeline: a hole in the stream's buffer, a reported overflow (its length read off
// the next stamp), and for a recording that takes over from another, the stretch since the
// other's last frame (its overlap with the other is dropped instead). A recording that takes
// over is made while the other still runs, so that the two overlap and nothing falls between.
//
// Thread rules: open and the destructor from any thread but the loop's; `onFrames` and
// `onFailed` run on the loop thread under the loop lock and must not call into the connection.
// Once the destructor returns, neither runs again.
class PulseRecording {
 public:
  // Interleaved float32 frames, valid only during the call, and the capture time of the first
  // (absent only until the server first tells the stream's timing).
  using OnFrames = std::function<void(const float* samples, std::size_t frames,
                                      std::optional<std::uint64_t> captureTime)>;

  // A loss longer than this is no gap in one stream's audio but a stream that stood still: the
  // host's own gap filling covers it, and the next stamp places what follows.
  static constexpr double kLongestBridgeSeconds = 2;

  // `held`: the recording takes over from another, and keeps its audio back until
  // takeOverLocked says where the other's audio ended.
  static std::unique_ptr<PulseRecording> open(PulseConnection& connection,
                                              const SourceFacts& source,
                                              std::size_t fragmentFrames, OnFrames onFrames,
                                              std::function<void()> onFailed, bool held = false);
  ~PulseRecording();
  PulseRecording(const PulseRecording&) = delete;
  PulseRecording& operator=(const PulseRecording&) = delete;

  // With the loop locked: a held recording starts delivering, from where the audio of the one
  // it takes over from ended (`continuesAt`): a stretch between the two arrives as silence, and
  // the frames the other already delivered are dropped.
  void takeOverLocked(std::optional<std::uint64_t> continuesAt);

  AudioFormat format() const { return format_; }
  // With the loop locked: the capture time just past the last frame delivered.
  std::optional<std::uint64_t> endTimeLocked() const { return nextTime_; }
  std::uint64_t overflows() const { return overflows_.load(); }

 private:
  PulseRecording(PulseConnection& connection, AudioFormat format, std::size_t fragmentFrames,
                 OnFrames onFrames, std::function<void()> onFailed);
  void readable();
  void timingArrived();
  bool waitsForFirstStamp() const;
  void stateChanged();
  void overflowed();
  std::optional<std::uint64_t> readIndexCaptureTime();
  // On PipeWire: tells the arrival clock what has arrived by now; false while the clock has
  // seen too little of a new stream to place its audio, which waits in the buffer meanwhile.
  bool noteArrivals(std::size_t frameBytes);
  // The capture time of the next `frames` frames, read off the arrivals.
  std::uint64_t arrivalCaptureTime(std::size_t frames);
  void requestTimingIfStale();
  // Silence for a loss before a fragment stamped `stamp`; returns the frames of the fragment's
  // head that an earlier recording already covered.
  std::size_t bridgeTo(std::optional<std::uint64_t> stamp, std::size_t frames);
  void deliver(const float* samples, std::size_t frames, std::optional<std::uint64_t> stamp);
  void deliverSilence(std::size_t frames, std::optional<std::uint64_t> stamp);
  std::size_t longestBridge() const;

  PulseConnection& connection_;
  AudioFormat format_;
  OnFrames onFrames_;
  std::function<void()> onFailed_;
  pa_stream* stream_ = nullptr;
  bool ready_ = false;
  bool closing_ = false;
  // Loop thread only (or under the loop lock).
  std::vector<float> silence_;
  std::optional<std::uint64_t> nextTime_;
  CaptureTimeFollower follower_;
  // Stamps from arrivals instead of the latency readings (PipeWire), the clock that reads them,
  // and the frames of the stream it has counted.
  bool stampsByArrival_ = false;
  ArrivalClock arrivals_;
  std::uint64_t arrivedFrames_ = 0;
  // The clock counts afresh from the next arrival (a new stream, or one that lost audio), and
  // since when it has counted: the first arrivals of a stream can all be late (a busy machine,
  // a graph that hands over several cycles at once), so its audio is placed only once the clock
  // has seen a fifth of a second of them.
  bool arrivalsLost_ = true;
  std::uint64_t arrivalsSince_ = 0;
  // In nanoseconds, from the last timing reply.
  std::uint64_t deviceDelay_ = 0;
  static constexpr std::uint64_t kArrivalSettlingMicroseconds = 200'000;
  bool bridgePending_ = false;
  bool held_ = false;
  std::atomic<std::uint64_t> overflows_{0};
  std::uint64_t lastTimingRequest_ = 0;
  std::uint64_t readySince_ = 0;
  static constexpr std::uint64_t kTimingRefreshMicroseconds = 100'000;
  static constexpr std::uint64_t kFirstStampWaitMicroseconds = 500'000;
};

// The layout a recording of `source` delivers in.
AudioFormat recordingFormat(const SourceFacts& source);

}  // namespace orvix::platform::pulse
