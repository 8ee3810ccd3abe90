#include "common/line_sink.h"

#include "common/write_all.h"

namespace orvix {

void FileDescriptorLineSink::writeLine(std::string_view line) {
  if (broken_) return;
  // Whatever part of a failed line went out has no end; a later line would be glued to it, so
  // nothing more is written.
  if (!writeAll(fd_, line)) broken_ = true;
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
