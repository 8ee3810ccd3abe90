// In-process costs of the decoder's two paths, without process start-up: framing plus libsbc
// written to /dev/null through the program's own output (bypass, one frame per write as for a pipe
// and the larger writes used for a file), and the engine binding's conversion, counting and plane
// interleaving with an engine that returns its input at once.
#include <benchmark/benchmark.h>
#include <sbc/sbc.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/sbc-decoder/bypass_mode.h"
#include "tools/sbc-decoder/standin/synthetic_recording.h"
#include "tools/sbc-decoder/stdio_streams.h"
#include "tools/sbc-decoder/vx41_engine_stream.h"

namespace {

using namespace orvix::sbc_decoder;

std::vector<std::byte> encodeFrames(int count) {
  sbc_t codec{};
  sbc_init(&codec, 0);
  codec.frequency = SBC_FREQ_44100;
  codec.mode = SBC_MODE_STEREO;
  codec.subbands = SBC_SB_8;
  codec.blocks = SBC_BLK_16;
  codec.bitpool = 58;
  codec.endian = SBC_LE;
  const auto pcm = syntheticStereoSamples(static_cast<std::int64_t>(count) * 128, 44100);
  std::vector<std::byte> frames(static_cast<std::size_t>(count) * 128);
  for (int i = 0; i < count; ++i) {
    ssize_t written = 0;
    sbc_encode(&codec, pcm.data() + static_cast<std::ptrdiff_t>(i) * 256, 512,
               frames.data() + static_cast<std::ptrdiff_t>(i) * 128, 128, &written);
  }
  sbc_finish(&codec);
  return frames;
}

class MemoryInput final : public InputStream {
 public:
  explicit MemoryInput(const std::vector<std::byte>& bytes) : bytes_(bytes) {}
  std::size_t read(std::span<std::byte> buffer) override {
    const std::size_t n = std::min(buffer.size(), bytes_.size() - offset_);
    std::memcpy(buffer.data(), bytes_.data() + offset_, n);
    offset_ += n;
    return n;
  }
  bool atEnd() const override { return offset_ == bytes_.size(); }
  bool hasError() const override { return false; }

 private:
  const std::vector<std::byte>& bytes_;
  std::size_t offset_ = 0;
};

class DiscardingOutput final : public OutputStream {
 public:
  bool write(std::span<const std::byte> data) override {
    benchmark::DoNotOptimize(data.data());
    bytes += data.size();
    return true;
  }
  bool flush() override { return true; }
  std::size_t bytes = 0;
};

// The write system calls belong in this figure: one per frame cost more than all the rest of the
// path besides the codec.
void BM_BypassDecode(benchmark::State& state) {
  const auto frames = encodeFrames(2048);
  const auto framesPerWrite = static_cast<std::size_t>(state.range(0));
  std::FILE* null = std::fopen("/dev/null", "wb");
  if (null == nullptr) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  StdioOutputStream output(null);
  for (auto _ : state) {
    MemoryInput input(frames);
    Sbc132Reader reader(input, false, PickupMode::kOmnidirectional);
    auto decoder = SbcFrameDecoder::create();
    if (!decodeBypassed(reader, input, *decoder, output, framesPerWrite)) {
      state.SkipWithError("decode failed");
    }
  }
  std::fclose(null);
  state.SetItemsProcessed(state.iterations() * 2048);
  state.SetLabel("items = SBC frames");
}
BENCHMARK(BM_BypassDecode)
    ->ArgName("frames_per_write")
    ->Arg(1)
    ->Arg(static_cast<std::int64_t>(kFramesPerWriteFromFile))
    ->Unit(benchmark::kMillisecond);

// An engine that hands back each block at once as two planes.
std::vector<std::int16_t> planes(1024);
int passCreate(void**, const char*) { return 0; }
int passAppend(void*, const float* samples, std::int32_t frames) {
  for (std::int32_t i = 0; i < frames; ++i) {
    planes[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(samples[2 * i]);
    planes[static_cast<std::size_t>(frames + i)] = static_cast<std::int16_t>(samples[2 * i + 1]);
  }
  return 0;
}
int passRun(void*, std::int16_t** out, std::int32_t* lengths, std::int16_t* kind) {
  *out = planes.data();
  lengths[0] = lengths[1] = 512;
  *kind = 2;
  return 0;
}
int passSetParam(void*, std::uint32_t, const std::int32_t*) { return 0; }
int passDel(void*) { return 0; }

void BM_EngineBinding(benchmark::State& state) {
  const Vx41Functions functions{passCreate, passAppend, passRun, passSetParam, passDel};
  PcmFrame pcm{};
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::byte>(i * 7);
  int handle = 0;
  for (auto _ : state) {
    DiscardingOutput output;
    Vx41EngineStream stream(functions, &handle, PickupMode::kOmnidirectional, output);
    for (int i = 0; i < 2048; ++i) {
      if (stream.append(pcm)) state.SkipWithError("append failed");
    }
    if (stream.drain()) state.SkipWithError("drain failed");
  }
  state.SetItemsProcessed(state.iterations() * 2048);
  state.SetLabel("items = SBC frames");
}
BENCHMARK(BM_EngineBinding)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
