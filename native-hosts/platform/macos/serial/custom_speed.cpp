// macOS takes arbitrary speeds through the serial driver's IOSSIOSPEED request, which sets input
// and output speed together and applies at once.
#include <IOKit/serial/ioss.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <limits>

#include "tools/serial-reader/custom_speed.h"

namespace orvix::serial_reader {

bool applyCustomSpeed(int fd, std::uint64_t bitsPerSecond) {
  if (bitsPerSecond == 0 || bitsPerSecond > std::numeric_limits<speed_t>::max()) return false;
  speed_t speed = static_cast<speed_t>(bitsPerSecond);
  return ioctl(fd, IOSSIOSPEED, &speed) == 0;
}

}  // namespace orvix::serial_reader
