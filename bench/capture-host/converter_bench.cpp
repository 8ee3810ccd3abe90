// The capture host's converter, 48 kHz stereo float (as a process tap or a device delivers it)
// to 16 kHz mono, side by side with bare libsoxr and with libsamplerate's medium converter on
// the same input in the same run. The "audio_s_per_cpu_s" counter is seconds of audio converted
// per second of CPU.
#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <soxr.h>

#include <vector>

#include "OrvixAudioCaptureHost/pcm_converter.h"
#include "platform/simulated/audio/signal_source.h"

namespace {

using orvix::capture::PcmConverter;
using orvix::platform::AudioFormat;
using orvix::platform::SampleKind;

constexpr std::size_t kBufferFrames = 480;  // 10 ms, a typical device buffer
constexpr std::size_t kSeconds = 10;
constexpr std::size_t kFrames = 48000 * kSeconds;

// Ten seconds of a 1 kHz tone with noise-free stereo planes, made once.
struct Input {
  std::vector<float> left;
  std::vector<float> right;
  Input() {
    orvix::platform::simulated::SignalGenerator generator(
        {orvix::platform::simulated::SignalSpec::Kind::tone, 1000, 0.5},
        AudioFormat{48000, 2, SampleKind::float32, false}, 1);
    const auto view = generator.next(kFrames);
    const auto* l = static_cast<const float*>(view.planes[0]);
    const auto* r = static_cast<const float*>(view.planes[1]);
    left.assign(l, l + kFrames);
    right.assign(r, r + kFrames);
  }
};

const Input& input() {
  static const Input data;
  return data;
}

void reportRate(benchmark::State& state) {
  state.counters["audio_s_per_cpu_s"] = benchmark::Counter(
      static_cast<double>(kSeconds * state.iterations()), benchmark::Counter::kIsRate);
}

void BM_PcmConverter(benchmark::State& state) {
  const auto& data = input();
  for (auto _ : state) {
    PcmConverter converter;
    std::size_t produced = 0;
    for (std::size_t at = 0; at + kBufferFrames <= kFrames; at += kBufferFrames) {
      const void* planes[] = {data.left.data() + at, data.right.data() + at};
      converter.convert(
          orvix::platform::PcmBufferView{AudioFormat{48000, 2, SampleKind::float32, false},
                                         kBufferFrames, planes, std::nullopt},
          [&](const float*, std::int64_t count) { produced += static_cast<std::size_t>(count); });
    }
    benchmark::DoNotOptimize(produced);
  }
  reportRate(state);
}
BENCHMARK(BM_PcmConverter)->Unit(benchmark::kMillisecond);

// The floor: libsoxr alone with the same quality on one channel (what is left once the two
// channels are one), no down-mix and no plumbing.
void BM_BareSoxrMono(benchmark::State& state) {
  const auto& data = input();
  std::vector<float> out(kBufferFrames / 3 + 64);
  for (auto _ : state) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t resampler = soxr_create(48000, 16000, 1, nullptr, &io, &quality, nullptr);
    std::size_t produced = 0;
    for (std::size_t at = 0; at + kBufferFrames <= kFrames; at += kBufferFrames) {
      std::size_t consumed = 0;
      std::size_t done = 0;
      soxr_process(resampler, data.left.data() + at, kBufferFrames, &consumed, out.data(),
                   out.size(), &done);
      produced += done;
    }
    soxr_delete(resampler);
    benchmark::DoNotOptimize(produced);
  }
  reportRate(state);
}
BENCHMARK(BM_BareSoxrMono)->Unit(benchmark::kMillisecond);

// libsoxr resampling both channels as they come (split planes), the way a caller without a
// down-mix would use it.
void BM_BareSoxrStereo(benchmark::State& state) {
  const auto& data = input();
  std::vector<float> outLeft(kBufferFrames);
  std::vector<float> outRight(kBufferFrames);
  for (auto _ : state) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t resampler = soxr_create(48000, 16000, 2, nullptr, &io, &quality, nullptr);
    std::size_t produced = 0;
    for (std::size_t at = 0; at + kBufferFrames <= kFrames; at += kBufferFrames) {
      const float* in[] = {data.left.data() + at, data.right.data() + at};
      float* out[] = {outLeft.data(), outRight.data()};
      std::size_t consumed = 0;
      std::size_t done = 0;
      soxr_process(resampler, in, kBufferFrames, &consumed, out, kBufferFrames, &done);
      produced += done;
    }
    soxr_delete(resampler);
    benchmark::DoNotOptimize(produced);
  }
  reportRate(state);
}
BENCHMARK(BM_BareSoxrStereo)->Unit(benchmark::kMillisecond);

// libsamplerate's medium sinc converter on the same job: down-mix, then 48 -> 16 kHz mono.
void BM_LibsamplerateMedium(benchmark::State& state) {
  const auto& data = input();
  std::vector<float> mono(kBufferFrames);
  std::vector<float> out(kBufferFrames);
  for (auto _ : state) {
    int error = 0;
    SRC_STATE* converter = src_new(SRC_SINC_MEDIUM_QUALITY, 1, &error);
    std::size_t produced = 0;
    for (std::size_t at = 0; at + kBufferFrames <= kFrames; at += kBufferFrames) {
      for (std::size_t i = 0; i < kBufferFrames; ++i) {
        mono[i] = (data.left[at + i] + data.right[at + i]) * 0.5f;
      }
      SRC_DATA job{};
      job.data_in = mono.data();
      job.input_frames = static_cast<long>(kBufferFrames);
      job.data_out = out.data();
      job.output_frames = static_cast<long>(out.size());
      job.src_ratio = 16000.0 / 48000.0;
      src_process(converter, &job);
      produced += static_cast<std::size_t>(job.output_frames_gen);
    }
    src_delete(converter);
    benchmark::DoNotOptimize(produced);
  }
  reportRate(state);
}
BENCHMARK(BM_LibsamplerateMedium)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
