#include "tools/serial-reader/serial_reader.h"

#include <string_view>
#include <variant>

#include "tools/serial-reader/command_line.h"
#include "tools/serial-reader/device_listing.h"
#include "tools/serial-reader/output_writer.h"
#include "tools/serial-reader/port_settings.h"
#include "tools/serial-reader/serial_relay.h"

namespace orvix::serial_reader {
namespace {

constexpr std::string_view kReadyLine = "SERIAL_READY\n";

// Configures the open device, relays it, and always leaves it with the restorable settings.
ExitStatus relayOpenDevice(SerialSystem& system, int deviceFd, std::uint64_t bitsPerSecond,
                           const ReaderEnvironment& environment) {
  termios original{};
  if (!system.getAttributes(deviceFd, original)) return ExitStatus::kReadSettingsFailed;
  const termios restore = settingsToRestore(original);

  const auto finish = [&](ExitStatus status) {
    system.setAttributes(deviceFd, restore);  // nothing more to do if the port is already gone
    return status;
  };

  if (!system.setAttributes(deviceFd, rawRelaySettings(original))) {
    return finish(ExitStatus::kApplySettingsFailed);
  }
  if (bitsPerSecond != kStandardBitsPerSecond) {
    // Speed 0 would tell the driver to hang up rather than set a speed: refuse it like any speed
    // the platform refuses, without asking.
    if (bitsPerSecond == 0 || !system.setCustomSpeed(deviceFd, bitsPerSecond)) {
      return finish(ExitStatus::kApplySettingsFailed);
    }
  }

  // Standard error carries this line and nothing else; if nobody listens, relaying still works.
  writeAll(system, environment.errorFd, -1, reinterpret_cast<const std::byte*>(kReadyLine.data()),
           kReadyLine.size());

  return finish(relayDevice(system, deviceFd, environment.inputFd, environment.outputFd));
}

ExitStatus relay(SerialSystem& system, const RelayCommand& command,
                 const ReaderEnvironment& environment) {
  const int deviceFd = system.openDevice(command.devicePath);
  if (deviceFd < 0) return ExitStatus::kOpenFailed;
  const ExitStatus status = relayOpenDevice(system, deviceFd, command.bitsPerSecond, environment);
  system.close(deviceFd);
  return status;
}

}  // namespace

ExitStatus runSerialReader(std::span<const std::string_view> arguments, SerialSystem& system,
                           const ReaderEnvironment& environment) {
  const Command command = parseCommandLine(arguments);
  if (std::holds_alternative<UsageError>(command)) return ExitStatus::kUsage;
  if (std::holds_alternative<ListDevicesCommand>(command)) {
    return listSerialDevices(system, environment.deviceDirectory, environment.outputFd);
  }
  return relay(system, std::get<RelayCommand>(command), environment);
}

}  // namespace orvix::serial_reader
