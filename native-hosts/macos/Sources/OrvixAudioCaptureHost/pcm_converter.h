#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "OrvixAudioCaptureHost/rate_steering.h"
#include "platform/audio_format.h"
#include "platform/screen_capture.h"

struct soxr;

namespace orvix::capture {

// Turns whatever a source delivers into 16 kHz mono float: channels are averaged into one, and
// a resampler whose filter state runs on from buffer to buffer brings the rate to 16 kHz, so a
// tone split across many buffers comes out as one continuous tone. A buffer of another format
// drops the resampler and starts a new one. Sources already at 16 kHz mono float pass through
// untouched. A rate correction, once asked for, steers every run that comes out (RateSteering).
//
// Not thread-safe: each converter is fed from one serial context.
class PcmConverter {
 public:
  // Called at most once per convert(), synchronously; the samples are valid only during the call.
  using Consume = std::function<void(const float* samples, std::int64_t count)>;

  PcmConverter();
  ~PcmConverter();
  PcmConverter(const PcmConverter&) = delete;
  PcmConverter& operator=(const PcmConverter&) = delete;

  void convert(const platform::AudioSampleBuffer& sampleBuffer, const Consume& consume);
  void convert(const platform::PcmBufferView& buffer, const Consume& consume);

  static constexpr platform::AudioFormat kOutputFormat{16000, 1, platform::SampleKind::float32,
                                                       false};

  // Valid during a Consume call: the machine's uptime, in nanoseconds, at which the run's first
  // sample was captured, when the buffer said when it was. The resampler holds back the newest
  // input for its filter, so a run ends that much before the buffer that produced it.
  std::optional<std::uint64_t> runCaptureTime() const { return runCaptureTime_; }

  // The output rate is raised by this fraction (lowered when negative) from the next buffer on,
  // within RateSteering::maximumCorrection.
  void setRateCorrection(double correction) { steering_.setCorrection(correction); }

  // For tests: how many resamplers this converter has built.
  int resamplerBuilds() const { return resamplerBuilds_; }

 private:
  bool rebuild(const platform::AudioFormat& format);
  void releaseResampler();
  std::optional<std::uint64_t> runStart(const platform::PcmBufferView& buffer,
                                        std::size_t produced) const;
  // Steers the run and hands it on with its capture time.
  void emit(const float* samples, std::int64_t count, std::optional<std::uint64_t> captureTime,
            const Consume& consume);
  // Averages the buffer's channels into mono_ as float.
  void downMix(const platform::PcmBufferView& buffer);

  std::optional<platform::AudioFormat> inputFormat_;
  soxr* resampler_ = nullptr;
  int resamplerBuilds_ = 0;
  std::vector<float> mono_;
  std::vector<float> output_;
  std::optional<std::uint64_t> runCaptureTime_;
  RateSteering steering_;
};

}  // namespace orvix::capture
