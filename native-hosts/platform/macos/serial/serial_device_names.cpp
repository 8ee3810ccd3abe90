#include "tools/serial-reader/serial_device_names.h"

namespace orvix::serial_reader {

// macOS gives every serial port a call-out node ("cu.*") that opens without waiting for carrier.
bool isSerialDeviceName(std::string_view entryName) { return entryName.starts_with("cu."); }

}  // namespace orvix::serial_reader
