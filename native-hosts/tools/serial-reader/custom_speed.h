#pragma once

#include <cstdint>

namespace orvix::serial_reader {

// Sets a speed outside the standard table on an open terminal, both directions, at once. Each
// platform does it its own way (platform/<platform>/serial/custom_speed.cpp), and on Linux in a
// file of its own because the arbitrary-speed structures clash with <termios.h>.
bool applyCustomSpeed(int fd, std::uint64_t bitsPerSecond);

}  // namespace orvix::serial_reader
