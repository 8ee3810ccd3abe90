#pragma once

#include <string>

#include "tools/serial-reader/exit_status.h"
#include "tools/serial-reader/serial_system.h"

namespace orvix::serial_reader {

// Prints "/dev/NAME\n" for each serial device entry of directory, in directory order.
// kOpenFailed when the directory cannot be opened, kOutputFailed when the output refuses a line.
ExitStatus listSerialDevices(SerialSystem& system, const std::string& directory, int outputFd);

}  // namespace orvix::serial_reader
