#include "tools/serial-reader/serial_device_names.h"

namespace orvix::serial_reader {

// Linux has no call-out ("cu.") nodes: a USB serial recorder shows up as a USB-serial converter
// (ttyUSB*) or a CDC-ACM modem (ttyACM*), and those nodes are what the relay opens.
bool isSerialDeviceName(std::string_view entryName) {
  return entryName.starts_with("ttyUSB") || entryName.starts_with("ttyACM");
}

}  // namespace orvix::serial_reader
