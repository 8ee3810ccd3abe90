#include "tools/sbc-decoder/bypass_mode.h"

#include <algorithm>
#include <vector>

namespace orvix::sbc_decoder {

bool decodeBypassed(Sbc132Reader& reader, const InputStream& input, SbcFrameDecoder& decoder,
                    OutputStream& output, std::size_t framesPerWrite) {
  // The codec decodes in place into the next free slot: one buffer for the whole stream, and no
  // copy between decoding and writing.
  std::vector<std::byte> pcm(std::max<std::size_t>(framesPerWrite, 1) * kPcmFrameBytes);
  std::size_t held = 0;
  const auto writeHeld = [&] {
    const bool written = held == 0 || output.write(std::span(pcm).first(held));
    held = 0;
    return written;
  };

  Sbc132Record record;
  while (true) {
    switch (reader.read(record)) {
      case ReadOutcome::kEndOfInput:
        return writeHeld() && !input.hasError();
      case ReadOutcome::kInvalid:
        writeHeld();
        return false;
      case ReadOutcome::kRecord:
        break;
    }
    const std::span<std::byte, kPcmFrameBytes> slot(pcm.data() + held, kPcmFrameBytes);
    if (!decoder.decode(record.frame, slot)) {
      writeHeld();
      return false;
    }
    held += kPcmFrameBytes;
    if (held == pcm.size() && !writeHeld()) return false;
  }
}

}  // namespace orvix::sbc_decoder
