#pragma once

#include "tools/serial-reader/serial_system.h"

namespace orvix::serial_reader {

// The real calls of the machine the reader was built for. Tests derive from it to count or refuse
// individual calls while everything else stays real.
class PosixSerialSystem : public SerialSystem {
 public:
  int openDevice(const std::string& path) override;
  bool getAttributes(int fd, termios& settings) override;
  bool setAttributes(int fd, const termios& settings) override;
  bool setCustomSpeed(int fd, std::uint64_t bitsPerSecond) override;
  IoResult poll(pollfd* descriptors, std::size_t count, int timeoutMilliseconds) override;
  IoResult read(int fd, std::byte* buffer, std::size_t size) override;
  IoResult write(int fd, const std::byte* data, std::size_t size) override;
  void close(int fd) override;
  bool listDirectory(const std::string& path,
                     const std::function<bool(std::string_view name)>& visit) override;
};

}  // namespace orvix::serial_reader
