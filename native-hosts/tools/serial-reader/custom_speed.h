#pragma once

#include <cstdint>

namespace orvix::serial_reader {

// Sets a speed outside the standard table on an open terminal, both directions, at once. Lives in
// its own file per platform because Linux's arbitrary-speed structures clash with <termios.h>.
bool applyCustomSpeed(int fd, std::uint64_t bitsPerSecond);

}  // namespace orvix::serial_reader
