// Linux takes arbitrary speeds through termios2 with BOTHER. <asm/termbits.h> redefines the names
// of <termios.h>, so nothing else may be included here that pulls the latter in.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <limits>

#include "tools/serial-reader/custom_speed.h"

namespace orvix::serial_reader {

bool applyCustomSpeed(int fd, std::uint64_t bitsPerSecond) {
  // Zero means "hang up" to the driver, and larger values would be silently truncated.
  if (bitsPerSecond == 0 || bitsPerSecond > std::numeric_limits<speed_t>::max()) return false;
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = static_cast<speed_t>(bitsPerSecond);
  settings.c_ospeed = static_cast<speed_t>(bitsPerSecond);
  return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace orvix::serial_reader
