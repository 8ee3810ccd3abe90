#pragma once

#include <string_view>

namespace orvix::serial_reader {

// Where the machine keeps its device nodes; tests list a directory of their own instead.
inline constexpr std::string_view kDeviceDirectory = "/dev";

// Whether a device-directory entry is a serial port a recorder can appear as. The rule differs per
// platform; the matching file is chosen when the program is linked.
bool isSerialDeviceName(std::string_view entryName);

}  // namespace orvix::serial_reader
