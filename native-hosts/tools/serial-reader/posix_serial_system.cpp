#include "tools/serial-reader/posix_serial_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "tools/serial-reader/custom_speed.h"

namespace orvix::serial_reader {
namespace {

// Below this the descriptor would shadow standard input, output or error.
constexpr int kFirstPrivateDescriptor = 3;

IoResult fromCall(long result) {
  if (result < 0) return IoResult{0, errno};
  return IoResult{result, 0};
}

}  // namespace

int PosixSerialSystem::openDevice(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0 || fd >= kFirstPrivateDescriptor) return fd;
  const int moved = ::fcntl(fd, F_DUPFD, kFirstPrivateDescriptor);
  ::close(fd);
  return moved;
}

bool PosixSerialSystem::getAttributes(int fd, termios& settings) {
  return ::tcgetattr(fd, &settings) == 0;
}

bool PosixSerialSystem::setAttributes(int fd, const termios& settings) {
  return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool PosixSerialSystem::setCustomSpeed(int fd, std::uint64_t bitsPerSecond) {
  return applyCustomSpeed(fd, bitsPerSecond);
}

IoResult PosixSerialSystem::poll(pollfd* descriptors, std::size_t count, int timeoutMilliseconds) {
  return fromCall(::poll(descriptors, static_cast<nfds_t>(count), timeoutMilliseconds));
}

IoResult PosixSerialSystem::read(int fd, std::byte* buffer, std::size_t size) {
  return fromCall(::read(fd, buffer, size));
}

IoResult PosixSerialSystem::write(int fd, const std::byte* data, std::size_t size) {
  return fromCall(::write(fd, data, size));
}

void PosixSerialSystem::close(int fd) { ::close(fd); }

bool PosixSerialSystem::listDirectory(const std::string& path,
                                      const std::function<bool(std::string_view name)>& visit) {
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) return false;
  while (const dirent* entry = ::readdir(directory)) {
    if (!visit(entry->d_name)) break;
  }
  ::closedir(directory);
  return true;
}

}  // namespace orvix::serial_reader
