#pragma once

#include <termios.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace orvix::serial_reader::testing {

// A pseudo-terminal standing in for the recorder's port: the test writes "device" bytes on the
// master side, the reader opens the slave by its /dev/pts path. The slave starts raw, so bytes
// written before the reader configures the port reach it untranslated; hang-up on close stays on,
// so a restore that forgets to clear it shows.
class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }
  termios slaveSettings() const;
  // Closing the master is what unplugging the device looks like to the reader.
  void hangUp();

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the slave outlives the reader's own open and close
  std::string slavePath_;
};

struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
  Pipe();
  ~Pipe();
  void closeRead();
  void closeWrite();
};

inline constexpr std::chrono::seconds kPatience{60};

std::vector<std::byte> randomBytes(std::size_t size, unsigned seed);
// Blocking write of everything; false when the descriptor refuses.
bool writeFully(int fd, const void* data, std::size_t size);
// Reads until size bytes or end of file, waiting at most `patience` for each next chunk.
std::vector<std::byte> readUpTo(int fd, std::size_t size,
                                std::chrono::milliseconds patience = kPatience);
// Reads until end of file (or patience runs out between chunks).
std::string readAll(int fd, std::chrono::milliseconds patience = kPatience);
bool sameSettings(const termios& a, const termios& b);

}  // namespace orvix::serial_reader::testing
