#include "tools/sbc-decoder/sbc_frame_decoder.h"

#include <sbc/sbc.h>

#include <sys/types.h>

namespace orvix::sbc_decoder {

struct SbcFrameDecoder::Context {
  sbc_t codec{};
};

std::unique_ptr<SbcFrameDecoder> SbcFrameDecoder::create() {
  auto context = std::make_unique<Context>();
  if (sbc_init(&context->codec, 0) != 0) return nullptr;
  context->codec.endian = SBC_LE;
  return std::unique_ptr<SbcFrameDecoder>(new SbcFrameDecoder(std::move(context)));
}

SbcFrameDecoder::SbcFrameDecoder(std::unique_ptr<Context> context) : context_(std::move(context)) {}

SbcFrameDecoder::~SbcFrameDecoder() { sbc_finish(&context_->codec); }

bool SbcFrameDecoder::decode(std::span<const std::byte, kSbcFrameBytes> frame,
                             std::span<std::byte, kPcmFrameBytes> pcm) {
  std::size_t written = 0;
  const ssize_t consumed =
      sbc_decode(&context_->codec, frame.data(), frame.size(), pcm.data(), pcm.size(), &written);
  return consumed == static_cast<ssize_t>(kSbcFrameBytes) && written == kPcmFrameBytes;
}

}  // namespace orvix::sbc_decoder
