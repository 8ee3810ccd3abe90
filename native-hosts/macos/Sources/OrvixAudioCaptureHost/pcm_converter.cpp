#include "OrvixAudioCaptureHost/pcm_converter.h"

#include <soxr.h>

#include <cmath>

namespace orvix::capture {

using platform::AudioFormat;
using platform::PcmBufferView;
using platform::SampleKind;

namespace {

bool isOutputFormat(const AudioFormat& format) {
  return format.kind == SampleKind::float32 && format.channelCount == 1 &&
         format.sampleRate == PcmConverter::kOutputFormat.sampleRate;
}

float sampleAt(const void* plane, std::size_t index, SampleKind kind) {
  switch (kind) {
    case SampleKind::int16:
      return static_cast<float>(static_cast<const std::int16_t*>(plane)[index]) / 32768.0f;
    case SampleKind::int32:
      return static_cast<float>(
          static_cast<double>(static_cast<const std::int32_t*>(plane)[index]) / 2147483648.0);
    case SampleKind::float32:
      break;
  }
  return static_cast<const float*>(plane)[index];
}

}  // namespace

PcmConverter::PcmConverter() = default;

PcmConverter::~PcmConverter() { releaseResampler(); }

void PcmConverter::releaseResampler() {
  if (resampler_ != nullptr) soxr_delete(resampler_);
  resampler_ = nullptr;
}

void PcmConverter::convert(const platform::AudioSampleBuffer& sampleBuffer,
                           const Consume& consume) {
  if (!sampleBuffer.dataReady || !sampleBuffer.format) return;
  if (sampleBuffer.sampleCount == 0 || sampleBuffer.planes == nullptr) return;
  convert(PcmBufferView{*sampleBuffer.format, sampleBuffer.sampleCount, sampleBuffer.planes,
                        sampleBuffer.presentationTime},
          consume);
}

void PcmConverter::convert(const PcmBufferView& buffer, const Consume& consume) {
  if (buffer.frameLength == 0 || buffer.planes == nullptr) return;
  if (isOutputFormat(buffer.format)) {
    emit(static_cast<const float*>(buffer.planes[0]),
         static_cast<std::int64_t>(buffer.frameLength), buffer.captureTime, consume);
    return;
  }
  if (!inputFormat_ || *inputFormat_ != buffer.format) {
    inputFormat_ = buffer.format;
    releaseResampler();
    if (!rebuild(buffer.format)) return;
  }
  if (resampler_ == nullptr) return;

  downMix(buffer);
  const double ratio = kOutputFormat.sampleRate / buffer.format.sampleRate;
  const auto capacity =
      static_cast<std::size_t>(std::ceil(static_cast<double>(buffer.frameLength) * ratio)) + 64;
  if (output_.size() < capacity) output_.resize(capacity);
  std::size_t consumed = 0;
  std::size_t produced = 0;
  const soxr_error_t error = soxr_process(resampler_, mono_.data(), buffer.frameLength, &consumed,
                                          output_.data(), capacity, &produced);
  if (error != nullptr || produced == 0) return;
  emit(output_.data(), static_cast<std::int64_t>(produced), runStart(buffer, produced), consume);
}

void PcmConverter::emit(const float* samples, std::int64_t count,
                        std::optional<std::uint64_t> captureTime, const Consume& consume) {
  const RateSteering::Run run = steering_.process({samples, count, captureTime});
  if (run.count < 1) return;
  runCaptureTime_ = run.captureTime;
  consume(run.samples, run.count);
  runCaptureTime_.reset();
}

std::optional<std::uint64_t> PcmConverter::runStart(const PcmBufferView& buffer,
                                                    std::size_t produced) const {
  if (!buffer.captureTime) return std::nullopt;
  // The run ends where the buffer ends, less what the filter still holds.
  const double bufferEnd = static_cast<double>(*buffer.captureTime) +
                           static_cast<double>(buffer.frameLength) * 1e9 / buffer.format.sampleRate;
  const double held = soxr_delay(resampler_) * 1e9 / kOutputFormat.sampleRate;
  const double start =
      bufferEnd - held - static_cast<double>(produced) * 1e9 / kOutputFormat.sampleRate;
  if (!std::isfinite(start) || start < 0) return std::nullopt;
  return static_cast<std::uint64_t>(std::llround(start));
}

bool PcmConverter::rebuild(const AudioFormat& format) {
  if (format.channelCount == 0 || !(format.sampleRate > 0) || !std::isfinite(format.sampleRate)) {
    return false;
  }
  // Bounds that no audio device reaches keep a hostile format from sizing huge filters.
  if (format.sampleRate > 1'000'000 || format.channelCount > 64) return false;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  resampler_ =
      soxr_create(format.sampleRate, kOutputFormat.sampleRate, 1, &error, &io, &quality, nullptr);
  if (error != nullptr) {
    releaseResampler();
    return false;
  }
  ++resamplerBuilds_;
  return true;
}

void PcmConverter::downMix(const PcmBufferView& buffer) {
  const AudioFormat& format = buffer.format;
  const std::size_t frames = buffer.frameLength;
  if (mono_.size() < frames) mono_.resize(frames);
  const std::size_t channels = format.channelCount;
  const float scale = 1.0f / static_cast<float>(channels);
  if (format.kind == SampleKind::float32 && !format.interleaved) {
    // The common case (taps, engines): whole planes added up in single passes over restrict
    // pointers, which the compiler turns into vector code.
    float* __restrict mono = mono_.data();
    const auto* __restrict first = static_cast<const float*>(buffer.planes[0]);
    if (channels == 2) {
      const auto* __restrict second = static_cast<const float*>(buffer.planes[1]);
      for (std::size_t frame = 0; frame < frames; ++frame) {
        mono[frame] = (first[frame] + second[frame]) * 0.5f;
      }
      return;
    }
    for (std::size_t frame = 0; frame < frames; ++frame) mono[frame] = first[frame];
    for (std::size_t channel = 1; channel < channels; ++channel) {
      const auto* __restrict plane = static_cast<const float*>(buffer.planes[channel]);
      for (std::size_t frame = 0; frame < frames; ++frame) mono[frame] += plane[frame];
    }
    if (channels > 1) {
      for (std::size_t frame = 0; frame < frames; ++frame) mono[frame] *= scale;
    }
    return;
  }
  if (format.interleaved || channels == 1) {
    const void* plane = buffer.planes[0];
    for (std::size_t frame = 0; frame < frames; ++frame) {
      float sum = 0;
      for (std::size_t channel = 0; channel < channels; ++channel) {
        sum += sampleAt(plane, frame * channels + channel, format.kind);
      }
      mono_[frame] = sum * scale;
    }
    return;
  }
  for (std::size_t frame = 0; frame < frames; ++frame) {
    float sum = 0;
    for (std::size_t channel = 0; channel < channels; ++channel) {
      sum += sampleAt(buffer.planes[channel], frame, format.kind);
    }
    mono_[frame] = sum * scale;
  }
}

}  // namespace orvix::capture
