#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>

#include "tools/sbc-decoder/sbc132_reader.h"

namespace orvix::sbc_decoder {

// 128 sample frames of two 16-bit channels: what one of the recorder's SBC frames must yield.
inline constexpr std::size_t kPcmFrameBytes = 512;
inline constexpr std::size_t kPcmFramesPerSbcFrame = 128;
using PcmFrame = std::array<std::byte, kPcmFrameBytes>;

// One libsbc decoder context for the whole stream (little-endian output, stream parameters taken
// from each frame header), released with the object.
class SbcFrameDecoder {
 public:
  // Absent when libsbc cannot set up a context.
  static std::unique_ptr<SbcFrameDecoder> create();
  ~SbcFrameDecoder();
  SbcFrameDecoder(const SbcFrameDecoder&) = delete;
  SbcFrameDecoder& operator=(const SbcFrameDecoder&) = delete;

  // True only when the codec took exactly the 128 bytes and gave exactly 512. A frame of another
  // size or shape (corrupted, another bitpool, mono) is refused rather than passed on, because
  // everything after the decoder counts in 128-frame steps.
  bool decode(std::span<const std::byte, kSbcFrameBytes> frame,
              std::span<std::byte, kPcmFrameBytes> pcm);

 private:
  struct Context;
  explicit SbcFrameDecoder(std::unique_ptr<Context> context);
  std::unique_ptr<Context> context_;
};

}  // namespace orvix::sbc_decoder
