#pragma once

#include <poll.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace orvix::serial_reader {

// What one call achieved: a count (bytes moved, descriptors ready) or an errno value.
struct IoResult {
  long count = 0;
  int error = 0;  // 0 on success, otherwise the errno value of the failed call

  bool failed() const { return error != 0; }
};

// The operating-system calls the serial reader makes, so that the relay logic can be driven by
// tests that count or refuse calls while real bytes still flow through a pseudo-terminal.
//
// Notes for implementers:
// - Every call comes from the reader's single thread; nothing is called concurrently.
// - Failures are reported, never thrown: -1 from openDevice, false from the setters, `error` in
//   IoResult. The caller turns them into its exit status.
// - openDevice must never return 0, 1 or 2: when the standard streams were closed by the parent,
//   the device would otherwise take their place and the relay would read and write the wrong
//   thing.
class SerialSystem {
 public:
  virtual ~SerialSystem() = default;

  // Opens for reading and writing, non-blocking, without becoming the controlling terminal.
  virtual int openDevice(const std::string& path) = 0;
  virtual bool getAttributes(int fd, termios& settings) = 0;
  // Applies at once (no draining), like tcsetattr with TCSANOW.
  virtual bool setAttributes(int fd, const termios& settings) = 0;
  // The platform's arbitrary-speed request for both directions. Refuses speeds that the
  // platform's speed type cannot hold.
  virtual bool setCustomSpeed(int fd, std::uint64_t bitsPerSecond) = 0;
  // Waits without a time limit when timeoutMilliseconds is negative. count = ready descriptors.
  virtual IoResult poll(pollfd* descriptors, std::size_t count, int timeoutMilliseconds) = 0;
  virtual IoResult read(int fd, std::byte* buffer, std::size_t size) = 0;
  virtual IoResult write(int fd, const std::byte* data, std::size_t size) = 0;
  virtual void close(int fd) = 0;
  // Calls visit with each entry name in directory order until visit returns false. Returns false
  // only when the directory cannot be opened.
  virtual bool listDirectory(const std::string& path,
                             const std::function<bool(std::string_view name)>& visit) = 0;
};

}  // namespace orvix::serial_reader
