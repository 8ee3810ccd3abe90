#include "tools/serial-reader/pty_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

namespace orvix::serial_reader::testing {

PseudoTerminal::PseudoTerminal() {
  char name[128] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  slavePath_ = name;
  // Spawned readers must not inherit either side, or closing the master would not hang up.
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  termios settings{};
  ::tcgetattr(slave_, &settings);
  ::cfmakeraw(&settings);
  settings.c_cflag |= HUPCL;
  ::tcsetattr(slave_, TCSANOW, &settings);
}

PseudoTerminal::~PseudoTerminal() {
  hangUp();
  if (slave_ >= 0) ::close(slave_);
}

termios PseudoTerminal::slaveSettings() const {
  termios settings{};
  ::tcgetattr(slave_, &settings);
  return settings;
}

void PseudoTerminal::hangUp() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

Pipe::Pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  readEnd = ends[0];
  writeEnd = ends[1];
}

Pipe::~Pipe() {
  closeRead();
  closeWrite();
}

void Pipe::closeRead() {
  if (readEnd >= 0) ::close(readEnd);
  readEnd = -1;
}

void Pipe::closeWrite() {
  if (writeEnd >= 0) ::close(writeEnd);
  writeEnd = -1;
}

std::vector<std::byte> randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<std::byte> bytes(size);
  for (auto& b : bytes) b = static_cast<std::byte>(generator() & 0xff);
  return bytes;
}

bool writeFully(int fd, const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, next, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    next += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<std::byte> readUpTo(int fd, std::size_t size, std::chrono::milliseconds patience) {
  std::vector<std::byte> bytes;
  std::byte chunk[65536];
  while (bytes.size() < size) {
    pollfd descriptor{fd, POLLIN, 0};
    const int ready = ::poll(&descriptor, 1, static_cast<int>(patience.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, size - bytes.size()));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

std::string readAll(int fd, std::chrono::milliseconds patience) {
  const auto bytes = readUpTo(fd, std::size_t{1} << 30, patience);
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool sameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

}  // namespace orvix::serial_reader::testing
