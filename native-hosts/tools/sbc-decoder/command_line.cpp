#include "tools/sbc-decoder/command_line.h"

#include <optional>

namespace orvix::sbc_decoder {
namespace {

constexpr std::string_view kFramedOption = "--input-format=vx41-v1";
constexpr std::string_view kDirectionalOption = "--pickup-mode=directional";
constexpr std::string_view kOmnidirectionalOption = "--pickup-mode=omnidirectional";

}  // namespace

Command parseCommandLine(std::span<const std::string_view> arguments) {
  if (arguments.empty()) return UsageError{};
  DecodeCommand command;
  std::optional<std::string_view> input;
  for (const std::string_view argument : arguments) {
    if (argument == kFramedOption) {
      command.framed = true;
    } else if (argument == kDirectionalOption) {
      command.pickupMode = PickupMode::kDirectional;
    } else if (argument == kOmnidirectionalOption) {
      command.pickupMode = PickupMode::kOmnidirectional;
    } else if (argument.starts_with("--")) {
      // Includes a known option with another value: guessing what was meant could decode the
      // stream in the wrong mode, so the caller hears about it instead.
      return UsageError{};
    } else if (input) {
      return UsageError{};
    } else {
      input = argument;  // "-" and anything else not starting with "--", even "-x", is a path
    }
  }
  if (!input) return UsageError{};
  command.inputPath = std::string(*input);
  return command;
}

}  // namespace orvix::sbc_decoder
