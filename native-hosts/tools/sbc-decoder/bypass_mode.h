#pragma once

#include "tools/sbc-decoder/byte_streams.h"
#include "tools/sbc-decoder/sbc132_reader.h"
#include "tools/sbc-decoder/sbc_frame_decoder.h"

namespace orvix::sbc_decoder {

// Decodes every record straight to the output, one write per frame; the records' modes do not
// matter here. True when the input ended cleanly without a read error. Failures print nothing:
// the exit status alone reports them in this mode.
bool decodeBypassed(Sbc132Reader& reader, const InputStream& input, SbcFrameDecoder& decoder,
                    OutputStream& output);

}  // namespace orvix::sbc_decoder
