#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace orvix::serial_reader {

// `--list`: print the serial devices of the machine.
struct ListDevicesCommand {};

// `DEVICE BAUD`: relay one device to standard output.
struct RelayCommand {
  std::string devicePath;
  std::uint64_t bitsPerSecond = 0;
};

// Anything else: exit with the usage status before touching any device.
struct UsageError {};

using Command = std::variant<ListDevicesCommand, RelayCommand, UsageError>;

// Arguments exclude the program name.
Command parseCommandLine(std::span<const std::string_view> arguments);

// The whole text must be decimal digits; anything else (empty, a sign, "12abc", spaces) is not a
// number and gives 0, which the reader then refuses as a speed. Values beyond 64 bits saturate to
// the largest value, which no platform accepts either.
std::uint64_t parseBitsPerSecond(std::string_view text);

}  // namespace orvix::serial_reader
