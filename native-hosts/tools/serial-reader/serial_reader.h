#pragma once

#include <span>
#include <string>
#include <string_view>

#include "tools/serial-reader/exit_status.h"
#include "tools/serial-reader/serial_device_names.h"
#include "tools/serial-reader/serial_system.h"

namespace orvix::serial_reader {

// Where the reader's standard streams and devices are. The program uses the defaults; tests give
// pipes and a directory of their own.
struct ReaderEnvironment {
  std::string deviceDirectory{kDeviceDirectory};
  int inputFd = 0;
  int outputFd = 1;
  int errorFd = 2;
};

// The whole program: parse the arguments, then list the devices or relay one device.
// Arguments exclude the program name.
ExitStatus runSerialReader(std::span<const std::string_view> arguments, SerialSystem& system,
                           const ReaderEnvironment& environment);

}  // namespace orvix::serial_reader
