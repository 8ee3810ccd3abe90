#pragma once

#include <string_view>

namespace orvix::serial_reader {

// Where the machine keeps its device nodes; tests list a directory of their own instead.
inline constexpr std::string_view kDeviceDirectory = "/dev";

// Whether a device-directory entry is a serial port a recorder can appear as. The rule differs per
// platform (platform/<platform>/serial/serial_device_names.cpp, chosen by ORVIX_PLATFORM).
bool isSerialDeviceName(std::string_view entryName);

}  // namespace orvix::serial_reader
