#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "tools/sbc-decoder/pickup_mode.h"

namespace orvix::sbc_decoder {

// What one run decodes and how.
struct DecodeCommand {
  bool framed = false;                                   // --input-format=vx41-v1: 132-byte records
  PickupMode pickupMode = PickupMode::kOmnidirectional;  // the stream's mode before any record
  std::string inputPath;                                 // a file path, or "-" for standard input

  bool readsStandardInput() const { return inputPath == kStandardInputPath; }
  static constexpr std::string_view kStandardInputPath = "-";
};

// No arguments, an unknown "--" option, no input or more than one input.
struct UsageError {};

using Command = std::variant<DecodeCommand, UsageError>;

// Options and the input come in any order; a repeated option counts with its last value.
// Arguments exclude the program name.
Command parseCommandLine(std::span<const std::string_view> arguments);

}  // namespace orvix::sbc_decoder
