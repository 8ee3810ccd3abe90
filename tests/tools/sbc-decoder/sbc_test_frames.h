#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvix::sbc_decoder::testing {

// `count` SBC frames of 128 bytes each, as the recorder sends them (44.1 kHz stereo, 8 subbands,
// 16 blocks, loudness, bitpool 58), encoded in-process from a synthetic signal.
std::vector<std::byte> encodeRecorderFrames(int count);

}  // namespace orvix::sbc_decoder::testing
