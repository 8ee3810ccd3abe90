// Arbitrary bytes through the SBC132 framing, libsbc and both output paths. The first byte picks
// framed or bare input, the command-line mode, bypass or engine mode (with an in-process
// pass-through engine), the read size and bypass's frames per write; the rest is the stream.
// Besides not crashing, the decoder must never write more than 512 bytes per record it read, and in
// engine mode a clean run writes exactly that.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tools/sbc-decoder/bypass_mode.h"
#include "tools/sbc-decoder/fake_vx41_engine.h"
#include "tools/sbc-decoder/memory_streams.h"
#include "tools/sbc-decoder/vx41_engine_mode.h"

namespace {

using namespace orvix::sbc_decoder;

// Counts whole records as the decoder's reader sees them, to bound the output.
class CountingInput final : public InputStream {
 public:
  explicit CountingInput(InputStream& inner) : inner_(inner) {}
  std::size_t read(std::span<std::byte> buffer) override {
    const std::size_t n = inner_.read(buffer);
    bytes += n;
    return n;
  }
  bool atEnd() const override { return inner_.atEnd(); }
  bool hasError() const override { return inner_.hasError(); }
  std::size_t bytes = 0;

 private:
  InputStream& inner_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  const bool framed = (selector & 1) != 0;
  const PickupMode mode =
      (selector & 2) != 0 ? PickupMode::kDirectional : PickupMode::kOmnidirectional;
  const bool engineMode = (selector & 4) != 0;
  const std::size_t maximumRead = 1 + (selector >> 3);
  // Bypass holds up to this many decoded frames for one write (the top bits double as read size).
  const std::size_t framesPerWrite = 1 + (selector >> 6);

  std::vector<std::byte> bytes(size - 1);
  for (std::size_t i = 1; i < size; ++i) bytes[i - 1] = static_cast<std::byte>(data[i]);
  testing::ScriptedInputStream scripted(std::move(bytes), maximumRead);
  CountingInput input(scripted);
  testing::CapturingOutputStream output;
  Sbc132Reader reader(input, framed, mode);
  auto decoder = SbcFrameDecoder::create();
  if (!decoder) std::abort();

  const std::size_t recordSize = framed ? 132 : 128;
  if (engineMode) {
    testing::FakeVx41Engine engine;
    const Vx41Functions functions = testing::FakeVx41Engine::functions();
    Vx41EngineStream stream(functions, engine.handle(), mode, output);
    const auto failure = decodeThroughEngine(reader, input, *decoder, stream);
    const std::size_t records = input.bytes / recordSize;
    if (output.bytes.size() > records * 512) std::abort();
    if (!failure && output.bytes.size() != records * 512) std::abort();
  } else {
    const bool ok = decodeBypassed(reader, input, *decoder, output, framesPerWrite);
    const std::size_t records = input.bytes / recordSize;
    if (output.bytes.size() > records * 512) std::abort();
    if (ok && output.bytes.size() != records * 512) std::abort();
    for (const std::size_t write : output.writeSizes) {
      if (write == 0 || write % 512 != 0 || write > framesPerWrite * 512) std::abort();
    }
  }
  return 0;
}
