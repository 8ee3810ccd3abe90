#include "common/line_sink.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace orvix {

void FileDescriptorLineSink::writeLine(std::string_view line) {
  if (broken_) return;
  while (!line.empty()) {
    const ssize_t written = ::write(fd_, line.data(), line.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A non-blocking descriptor that is full: wait for room rather than spin.
        pollfd descriptor{fd_, POLLOUT, 0};
        if (::poll(&descriptor, 1, -1) >= 0 || errno == EINTR) continue;
      }
      // Whatever part of this line went out has no end; a later line would be glued to it, so
      // nothing more is written.
      broken_ = true;
      return;
    }
    line.remove_prefix(static_cast<std::size_t>(written));
  }
}

void MemoryLineSink::writeLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> MemoryLineSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void MemoryLineSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace orvix
