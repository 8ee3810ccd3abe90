#include "common/line_sink.h"

#include <unistd.h>

#include <cerrno>

namespace orvix {

void FileDescriptorLineSink::writeLine(std::string_view line) {
  while (!line.empty()) {
    const ssize_t written = ::write(fd_, line.data(), line.size());
    if (written < 0) {
      if (errno == EINTR) continue;
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
