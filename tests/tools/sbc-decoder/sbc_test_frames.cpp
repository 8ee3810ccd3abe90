#include "tools/sbc-decoder/sbc_test_frames.h"

#include <sbc/sbc.h>

#include <stdexcept>

#include "tools/sbc-decoder/standin/synthetic_recording.h"

namespace orvix::sbc_decoder::testing {

std::vector<std::byte> encodeRecorderFrames(int count) {
  sbc_t codec{};
  if (sbc_init(&codec, 0) != 0) throw std::runtime_error("sbc_init");
  codec.frequency = SBC_FREQ_44100;
  codec.mode = SBC_MODE_STEREO;
  codec.subbands = SBC_SB_8;
  codec.blocks = SBC_BLK_16;
  codec.allocation = SBC_AM_LOUDNESS;
  codec.bitpool = 58;
  codec.endian = SBC_LE;

  const auto samples = syntheticStereoSamples(static_cast<std::int64_t>(count) * 128, 44100);
  std::vector<std::byte> frames(static_cast<std::size_t>(count) * 128);
  for (int i = 0; i < count; ++i) {
    ssize_t written = 0;
    const ssize_t consumed =
        sbc_encode(&codec, samples.data() + static_cast<std::ptrdiff_t>(i) * 256, 512,
                   frames.data() + static_cast<std::ptrdiff_t>(i) * 128, 128, &written);
    if (consumed != 512 || written != 128) throw std::runtime_error("sbc_encode");
  }
  sbc_finish(&codec);
  return frames;
}

}  // namespace orvix::sbc_decoder::testing
