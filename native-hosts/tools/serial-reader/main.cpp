// orvix-serial-reader: lists the machine's serial devices, or relays one device's bytes to
// standard output until standard input signals. The outcome is the exit status.
#include <csignal>
#include <string_view>
#include <vector>

#include "tools/serial-reader/posix_serial_system.h"
#include "tools/serial-reader/serial_reader.h"

int main(int argc, char** argv) {
  // A consumer that went away must show up as a failed write (a status), not kill the reader.
  std::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  orvix::serial_reader::PosixSerialSystem system;
  return orvix::serial_reader::toExitCode(
      orvix::serial_reader::runSerialReader(arguments, system, {}));
}
