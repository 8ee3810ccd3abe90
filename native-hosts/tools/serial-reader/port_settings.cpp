#include "tools/serial-reader/port_settings.h"

namespace orvix::serial_reader {

termios settingsToRestore(const termios& original) {
  termios restored = original;
  restored.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  return restored;
}

termios rawRelaySettings(const termios& base) {
  termios raw = base;
  ::cfmakeraw(&raw);
  raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  raw.c_cflag |= CS8 | CREAD | CLOCAL;
  ::cfsetispeed(&raw, kStandardSpeed);
  ::cfsetospeed(&raw, kStandardSpeed);
  return raw;
}

}  // namespace orvix::serial_reader
