#pragma once

#include <cerrno>
#include <vector>

#include "tools/serial-reader/posix_serial_system.h"

namespace orvix::serial_reader::testing {

// The real binding with counters of what the reader asked for and switches that make single
// calls fail, so a test sees both the calls and real bytes through a pseudo-terminal.
class ObservedSerialSystem : public PosixSerialSystem {
 public:
  int opens = 0;
  int closes = 0;
  std::vector<termios> appliedSettings;
  std::vector<std::uint64_t> customSpeedRequests;
  int writesRefusedForRoom = 0;

  bool failGetAttributes = false;
  bool failSetAttributes = false;
  int interruptNextPolls = 0;   // polls that report EINTR before really waiting
  int emptyNextReads = 0;       // reads that report EAGAIN as if someone else took the bytes
  int interruptNextWrites = 0;  // writes that report EINTR

  int openDevice(const std::string& path) override {
    ++opens;
    return PosixSerialSystem::openDevice(path);
  }
  bool getAttributes(int fd, termios& settings) override {
    return !failGetAttributes && PosixSerialSystem::getAttributes(fd, settings);
  }
  bool setAttributes(int fd, const termios& settings) override {
    appliedSettings.push_back(settings);
    return !failSetAttributes && PosixSerialSystem::setAttributes(fd, settings);
  }
  bool setCustomSpeed(int fd, std::uint64_t bitsPerSecond) override {
    customSpeedRequests.push_back(bitsPerSecond);
    return PosixSerialSystem::setCustomSpeed(fd, bitsPerSecond);
  }
  IoResult poll(pollfd* descriptors, std::size_t count, int timeoutMilliseconds) override {
    if (interruptNextPolls > 0 && --interruptNextPolls >= 0) return IoResult{0, EINTR};
    return PosixSerialSystem::poll(descriptors, count, timeoutMilliseconds);
  }
  IoResult read(int fd, std::byte* buffer, std::size_t size) override {
    if (emptyNextReads > 0 && --emptyNextReads >= 0) return IoResult{0, EAGAIN};
    return PosixSerialSystem::read(fd, buffer, size);
  }
  IoResult write(int fd, const std::byte* data, std::size_t size) override {
    if (interruptNextWrites > 0 && --interruptNextWrites >= 0) return IoResult{0, EINTR};
    const IoResult result = PosixSerialSystem::write(fd, data, size);
    if (result.error == EAGAIN) ++writesRefusedForRoom;
    return result;
  }
  void close(int fd) override {
    ++closes;
    PosixSerialSystem::close(fd);
  }
};

}  // namespace orvix::serial_reader::testing
