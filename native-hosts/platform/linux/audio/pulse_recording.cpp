#include "platform/linux/audio/pulse_recording.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

#include "platform/linux/audio/pulse_capture_time.h"

namespace orvix::platform::pulse {

AudioFormat recordingFormat(const SourceFacts& source) {
  return AudioFormat{source.sampleRate, source.channelCount, SampleKind::float32, true};
}

PulseRecording::PulseRecording(PulseConnection& connection, AudioFormat format,
                               std::size_t fragmentFrames, OnFrames onFrames,
                               std::function<void()> onFailed)
    : connection_(connection),
      format_(format),
      onFrames_(std::move(onFrames)),
      onFailed_(std::move(onFailed)),
      silence_(std::max<std::size_t>(fragmentFrames, 1) * format.channelCount, 0.0F) {}

std::unique_ptr<PulseRecording> PulseRecording::open(PulseConnection& connection,
                                                     const SourceFacts& source,
                                                     std::size_t fragmentFrames,
                                                     OnFrames onFrames,
                                                     std::function<void()> onFailed,
                                                     bool held) {
  const AudioFormat format = recordingFormat(source);
  pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(format.sampleRate),
                      static_cast<std::uint8_t>(format.channelCount)};
  // A server's claims are checked before use: a rate or channel count libpulse refuses would
  // otherwise fail later and less plainly.
  if (format.channelCount == 0 || format.channelCount > PA_CHANNELS_MAX ||
      pa_sample_spec_valid(&spec) == 0) {
    return nullptr;
  }
  std::unique_ptr<PulseRecording> recording(new PulseRecording(
      connection, format, fragmentFrames, std::move(onFrames), std::move(onFailed)));

  PulseConnection::Locked locked(connection);
  recording->held_ = held;
  recording->stampsByArrival_ = connection.servedByPipeWire();
  pa_channel_map map;
  pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
  recording->stream_ = pa_stream_new(connection.context(), "Orvix recording", &spec, &map);
  if (recording->stream_ == nullptr) return nullptr;
  PulseRecording* self = recording.get();
  pa_stream_set_state_callback(
      self->stream_, [](pa_stream*, void* that) { static_cast<PulseRecording*>(that)->stateChanged(); },
      self);
  pa_stream_set_read_callback(
      self->stream_,
      [](pa_stream*, std::size_t, void* that) { static_cast<PulseRecording*>(that)->readable(); },
      self);
  // libpulse documents overflows for playback streams; a server that reports one for a record
  // stream has lost audio, and the next stamp says how much.
  pa_stream_set_overflow_callback(
      self->stream_,
      [](pa_stream*, void* that) { static_cast<PulseRecording*>(that)->overflowed(); }, self);
  pa_stream_set_latency_update_callback(
      self->stream_, [](pa_stream*, void* that) { static_cast<PulseRecording*>(that)->timingArrived(); },
      self);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(fragmentFrames * pa_frame_size(&spec));
  // The stream stays on its source: when that source goes, the stream ends and the owner
  // decides, instead of the server silently moving it elsewhere. Timing is kept up to date and
  // interpolated between updates, so every fragment's latency can be read without a round trip.
  const auto flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_INTERPOLATE_TIMING |
      PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_record(self->stream_, source.name.c_str(), &attributes, flags) < 0) {
    return nullptr;
  }
  const bool ready = connection.waitLocked([self] {
    const pa_stream_state_t state = pa_stream_get_state(self->stream_);
    return state != PA_STREAM_CREATING && state != PA_STREAM_UNCONNECTED;
  });
  if (!ready || pa_stream_get_state(self->stream_) != PA_STREAM_READY) return nullptr;
  self->ready_ = true;
  // The first timing update follows the connection closely; waiting for it here means a
  // recording that takes over knows at once where its audio lies.
  connection.waitLocked([self] {
    pa_usec_t latency = 0;
    int negative = 0;
    return pa_stream_get_latency(self->stream_, &latency, &negative) >= 0;
  });
  return recording;
}

PulseRecording::~PulseRecording() {
  if (stream_ == nullptr) return;
  PulseConnection::Locked locked(connection_);
  closing_ = true;
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_overflow_callback(stream_, nullptr, nullptr);
  pa_stream_set_latency_update_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

std::size_t PulseRecording::longestBridge() const {
  return static_cast<std::size_t>(format_.sampleRate * kLongestBridgeSeconds);
}

std::optional<std::uint64_t> PulseRecording::readIndexCaptureTime() {
  // The latency of a record stream is the age of the frame at its read index, the one peeked.
  pa_usec_t latency = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream_, &latency, &negative) < 0) return nextTime_;
  const auto stamp = captureTimeOf(pa_rtclock_now(), latency, negative != 0);
  return stamp ? stamp : nextTime_;
}

void PulseRecording::takeOverLocked(std::optional<std::uint64_t> continuesAt) {
  if (!held_) return;
  held_ = false;
  nextTime_ = continuesAt;
  bridgePending_ = continuesAt.has_value();
  // What arrived while held is in the stream's buffer: handed on now, not at the next fragment.
  readable();
}

void PulseRecording::timingArrived() {
  if (stampsByArrival_) {
    // The device's own delay before a frame reaches the graph, as the timing says (a reading
    // past a second is no delay of a device); it changes only with a timing reply.
    const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
    deviceDelay_ = timing != nullptr && timing->source_usec < 1'000'000
                       ? timing->source_usec * 1000
                       : 0;
  }
  connection_.wake();
  if (!nextTime_) readable();
}

bool PulseRecording::waitsForFirstStamp() const {
  return !nextTime_ && pa_rtclock_now() - readySince_ < kFirstStampWaitMicroseconds;
}

void PulseRecording::readable() {
  // Held audio stays in the stream's buffer; the server adds to it and keeps telling.
  if (held_) return;
  requestTimingIfStale();
  const std::size_t frameBytes = format_.channelCount * sizeof(float);
  if (stampsByArrival_ && !noteArrivals(frameBytes)) return;
  while (pa_stream_readable_size(stream_) > 0) {
    std::optional<std::uint64_t> stamp;
    if (!stampsByArrival_) {
      stamp = readIndexCaptureTime();
      // Until the stream's timing is known its audio waits in the buffer, where the next timing
      // update finds it: libpulse withholds the latency until its first reply, and again after
      // one it must discard. A server that never tells still records, unstamped.
      if (!stamp && waitsForFirstStamp()) return;
    }
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) return;
    const std::size_t frames = bytes / frameBytes;
    if (stampsByArrival_) {
      stamp = arrivalCaptureTime(frames);
    } else if (stamp && nextTime_ && !bridgePending_ && data != nullptr) {
      stamp = follower_.follow(*nextTime_, *stamp, frames, format_.sampleRate);
    } else {
      follower_.restart();
    }
    const std::size_t covered = bridgeTo(stamp, frames);
    const auto start = stamp ? std::optional(captureTimeAfter(*stamp, covered, format_.sampleRate))
                             : std::nullopt;
    if (data != nullptr) {
      deliver(static_cast<const float*>(data) + covered * format_.channelCount, frames - covered,
              start);
    } else {
      // A hole: the server skipped this stretch, whose length it says. Silence keeps what
      // follows at its moment.
      deliverSilence(std::min(frames - covered, longestBridge()), start);
    }
    pa_stream_drop(stream_);
  }
}

bool PulseRecording::noteArrivals(std::size_t frameBytes) {
  const std::uint64_t now = pa_rtclock_now();
  if (arrivalsLost_) {
    // The frames no longer count from where the stream began.
    arrivalsLost_ = false;
    arrivals_.restart();
    arrivedFrames_ = 0;
    arrivalsSince_ = now;
  }
  // Everything the buffer holds has arrived by now.
  const std::uint64_t waiting = pa_stream_readable_size(stream_) / frameBytes;
  arrivals_.arrived(now * 1000, arrivedFrames_ + waiting, format_.sampleRate);
  return now - arrivalsSince_ >= kArrivalSettlingMicroseconds;
}

std::uint64_t PulseRecording::arrivalCaptureTime(std::size_t frames) {
  const std::uint64_t first = arrivedFrames_;
  arrivedFrames_ += frames;
  const std::uint64_t stamp =
      captureTimeAfter(arrivals_.start().value_or(0), first, format_.sampleRate);
  return stamp - std::min(stamp, deviceDelay_);
}

void PulseRecording::requestTimingIfStale() {
  const pa_usec_t now = pa_rtclock_now();
  if (now - lastTimingRequest_ < kTimingRefreshMicroseconds) return;
  lastTimingRequest_ = now;
  if (pa_operation* update = pa_stream_update_timing_info(stream_, nullptr, nullptr)) {
    pa_operation_unref(update);
  }
}

void PulseRecording::overflowed() {
  ++overflows_;
  bridgePending_ = true;
  arrivalsLost_ = true;
}

std::size_t PulseRecording::bridgeTo(std::optional<std::uint64_t> stamp, std::size_t frames) {
  if (!bridgePending_ || !stamp || !nextTime_) return 0;
  bridgePending_ = false;
  const std::size_t lost =
      framesLostBetween(*nextTime_, *stamp, format_.sampleRate, longestBridge());
  if (lost > 0) {
    deliverSilence(lost, nextTime_);
    return 0;
  }
  // Heard already, by the recording this one took over from; when the whole fragment was, the
  // next one may overlap too.
  const std::size_t heard = framesLostBetween(*stamp, *nextTime_, format_.sampleRate, frames);
  bridgePending_ = heard == frames;
  return heard;
}

void PulseRecording::deliver(const float* samples, std::size_t frames,
                             std::optional<std::uint64_t> stamp) {
  if (frames == 0) return;
  onFrames_(samples, frames, stamp);
  if (stamp) nextTime_ = captureTimeAfter(*stamp, frames, format_.sampleRate);
}

void PulseRecording::deliverSilence(std::size_t frames, std::optional<std::uint64_t> stamp) {
  const std::size_t piece = silence_.size() / format_.channelCount;
  while (frames > 0) {
    const std::size_t take = std::min(frames, piece);
    deliver(silence_.data(), take, stamp);
    if (stamp) stamp = captureTimeAfter(*stamp, take, format_.sampleRate);
    frames -= take;
  }
}

void PulseRecording::stateChanged() {
  const pa_stream_state_t state = pa_stream_get_state(stream_);
  // Taken here, on the loop thread, because the first fragment can be read here too before the
  // opening thread wakes from its wait for the stream.
  if (state == PA_STREAM_READY && readySince_ == 0) readySince_ = pa_rtclock_now();
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    if (ready_ && !closing_ && onFailed_) onFailed_();
  }
  connection_.wake();
}

}  // namespace orvix::platform::pulse
