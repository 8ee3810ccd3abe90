#pragma once

#include <termios.h>

namespace orvix::serial_reader {

// The recorder's port runs at 115200 bits per second unless the caller asks for another speed.
inline constexpr speed_t kStandardSpeed = B115200;
inline constexpr unsigned long kStandardBitsPerSecond = 115200;

// The settings to put back on every way out: the device's own, but without hang-up on close, so
// that closing the port afterwards does not drop the modem lines under another user of it.
termios settingsToRestore(const termios& original);

// Raw 8N1 at 115200: no line editing, echo, signals or translation; 8 data bits, no parity, one
// stop bit, receiver on, modem lines ignored, no hardware flow control, no hang-up on close.
termios rawRelaySettings(const termios& base);

}  // namespace orvix::serial_reader
