#pragma once

#include <optional>

#include "tools/sbc-decoder/byte_streams.h"
#include "tools/sbc-decoder/command_line.h"
#include "tools/sbc-decoder/failure_code.h"
#include "tools/sbc-decoder/sbc132_reader.h"
#include "tools/sbc-decoder/sbc_frame_decoder.h"
#include "tools/sbc-decoder/vx41_engine_stream.h"

namespace orvix::sbc_decoder {

// The record loop of engine mode: a mode change in the records restarts the segment, the end of
// input drains it. Returns the code to print, or nothing when the whole input came through.
std::optional<FailureCode> decodeThroughEngine(Sbc132Reader& reader, const InputStream& input,
                                               SbcFrameDecoder& decoder, Vx41EngineStream& stream);

// Engine mode from start to end: loads the engine beside the executable, enters its configuration
// directory, creates one instance, runs the record loop, and releases the instance and the
// libraries on every way out.
std::optional<FailureCode> runEngineMode(const DecodeCommand& command, Sbc132Reader& reader,
                                         const InputStream& input, SbcFrameDecoder& decoder,
                                         OutputStream& output);

}  // namespace orvix::sbc_decoder
