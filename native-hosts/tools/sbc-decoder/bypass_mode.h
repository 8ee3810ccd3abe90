#pragma once

#include <cstddef>

#include "tools/sbc-decoder/byte_streams.h"
#include "tools/sbc-decoder/sbc132_reader.h"
#include "tools/sbc-decoder/sbc_frame_decoder.h"

namespace orvix::sbc_decoder {

// How many decoded frames may wait for one write when the input is a file on disk: 64 KiB of PCM.
// A write per 512-byte frame costs more than the rest of the program besides the codec, and a
// file never keeps the decoder waiting, so nothing decoded is held back for long.
inline constexpr std::size_t kFramesPerWriteFromFile = 128;

// Decodes every record straight to the output, `framesPerWrite` frames per write (the last write
// may be shorter); the records' modes do not matter here. Input that can keep the decoder waiting
// (a pipe, a terminal) needs 1, so that each frame goes out as soon as it is decoded. True when
// the input ended cleanly without a read error. What was decoded before a failure is still
// written. Failures print nothing: the exit status alone reports them in this mode.
bool decodeBypassed(Sbc132Reader& reader, const InputStream& input, SbcFrameDecoder& decoder,
                    OutputStream& output, std::size_t framesPerWrite = 1);

}  // namespace orvix::sbc_decoder
