#pragma once

#include <cstdio>
#include <optional>
#include <span>
#include <string_view>

#include "tools/sbc-decoder/exit_status.h"

namespace orvix::sbc_decoder {

// What the program gets from its process: the bypass switch and the three standard streams.
struct DecoderEnvironment {
  std::optional<std::string_view> bypassVariable;  // ORVIX_VX41_BYPASS, absent when unset
  std::FILE* standardInput = stdin;
  std::FILE* standardOutput = stdout;
  std::FILE* standardError = stderr;
};

// The whole program: arguments, input, output, codec, then bypass or engine mode, then the
// finishing flush. Arguments exclude the program name.
ExitStatus runDecoder(std::span<const std::string_view> arguments,
                      const DecoderEnvironment& environment);

}  // namespace orvix::sbc_decoder
