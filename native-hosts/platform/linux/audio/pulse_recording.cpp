#include "platform/linux/audio/pulse_recording.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

namespace orvix::platform::pulse {

AudioFormat recordingFormat(const SourceFacts& source) {
  return AudioFormat{source.sampleRate, source.channelCount, SampleKind::float32, true};
}

PulseRecording::PulseRecording(PulseConnection& connection, AudioFormat format, OnFrames onFrames,
                               std::function<void()> onFailed)
    : connection_(connection),
      format_(format),
      onFrames_(std::move(onFrames)),
      onFailed_(std::move(onFailed)) {}

std::unique_ptr<PulseRecording> PulseRecording::open(PulseConnection& connection,
                                                     const SourceFacts& source,
                                                     std::size_t fragmentFrames,
                                                     OnFrames onFrames,
                                                     std::function<void()> onFailed) {
  const AudioFormat format = recordingFormat(source);
  pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(format.sampleRate),
                      static_cast<std::uint8_t>(format.channelCount)};
  // A server's claims are checked before use: a rate or channel count libpulse refuses would
  // otherwise fail later and less plainly.
  if (format.channelCount == 0 || format.channelCount > PA_CHANNELS_MAX ||
      pa_sample_spec_valid(&spec) == 0) {
    return nullptr;
  }
  std::unique_ptr<PulseRecording> recording(
      new PulseRecording(connection, format, std::move(onFrames), std::move(onFailed)));

  PulseConnection::Locked locked(connection);
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
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(fragmentFrames * pa_frame_size(&spec));
  // The stream stays on its source: when that source goes, the stream ends and the owner
  // decides, instead of the server silently moving it elsewhere.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(self->stream_, source.name.c_str(), &attributes, flags) < 0) {
    return nullptr;
  }
  const bool ready = connection.waitLocked([self] {
    const pa_stream_state_t state = pa_stream_get_state(self->stream_);
    return state != PA_STREAM_CREATING && state != PA_STREAM_UNCONNECTED;
  });
  if (!ready || pa_stream_get_state(self->stream_) != PA_STREAM_READY) return nullptr;
  self->ready_ = true;
  return recording;
}

PulseRecording::~PulseRecording() {
  if (stream_ == nullptr) return;
  PulseConnection::Locked locked(connection_);
  closing_ = true;
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

void PulseRecording::readable() {
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) return;
    // A hole (no data for this stretch) is dropped: the capture timeline fills gaps itself.
    const std::size_t frameBytes = format_.channelCount * sizeof(float);
    if (data != nullptr && bytes >= frameBytes) {
      onFrames_(static_cast<const float*>(data), bytes / frameBytes);
    }
    pa_stream_drop(stream_);
  }
}

void PulseRecording::stateChanged() {
  const pa_stream_state_t state = pa_stream_get_state(stream_);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    if (ready_ && !closing_ && onFailed_) onFailed_();
  }
  connection_.wake();
}

}  // namespace orvix::platform::pulse
