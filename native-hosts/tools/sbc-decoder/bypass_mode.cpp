#include "tools/sbc-decoder/bypass_mode.h"

namespace orvix::sbc_decoder {

bool decodeBypassed(Sbc132Reader& reader, const InputStream& input, SbcFrameDecoder& decoder,
                    OutputStream& output) {
  Sbc132Record record;
  PcmFrame pcm{};
  while (true) {
    switch (reader.read(record)) {
      case ReadOutcome::kEndOfInput:
        return !input.hasError();
      case ReadOutcome::kInvalid:
        return false;
      case ReadOutcome::kRecord:
        break;
    }
    if (!decoder.decode(record.frame, pcm) || !output.write(pcm)) return false;
  }
}

}  // namespace orvix::sbc_decoder
