#include "tools/serial-reader/command_line.h"

#include <limits>

namespace orvix::serial_reader {
namespace {

constexpr std::string_view kListOption = "--list";
constexpr std::string_view kDevicePrefix = "/dev/";

}  // namespace

std::uint64_t parseBitsPerSecond(std::string_view text) {
  if (text.empty()) return 0;
  constexpr auto kMaximum = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMaximum - digit) / 10) {
      value = kMaximum;  // keep scanning: a later non-digit still makes the whole text invalid
      continue;
    }
    value = value * 10 + digit;
  }
  return value;
}

Command parseCommandLine(std::span<const std::string_view> arguments) {
  if (arguments.size() == 1) {
    if (arguments[0] == kListOption) return ListDevicesCommand{};
    return UsageError{};
  }
  if (arguments.size() != 2) return UsageError{};
  if (!arguments[0].starts_with(kDevicePrefix)) return UsageError{};
  return RelayCommand{std::string(arguments[0]), parseBitsPerSecond(arguments[1])};
}

}  // namespace orvix::serial_reader
