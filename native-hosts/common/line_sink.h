#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvix {

// Where a host's finished output lines go. One call is one whole line, LF included.
class LineSink {
 public:
  virtual ~LineSink() = default;
  virtual void writeLine(std::string_view line) = 0;
};

// Writes lines to a file descriptor, looping over partial writes and waiting while a
// non-blocking descriptor is full. After a failed write (the reader went away) nothing more is
// written, so no line is ever glued to the remains of another; the host learns of its end from
// standard input. Callers serialise their calls.
class FileDescriptorLineSink final : public LineSink {
 public:
  explicit FileDescriptorLineSink(int fd) : fd_(fd) {}
  void writeLine(std::string_view line) override;

 private:
  int fd_;
  bool broken_ = false;
};

// Collects lines in memory, for tests and demos. Safe from any thread.
class MemoryLineSink final : public LineSink {
 public:
  void writeLine(std::string_view line) override;
  std::vector<std::string> lines() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace orvix
