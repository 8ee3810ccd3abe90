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

// Writes lines to a file descriptor, looping over partial writes. A failed write (the reader
// went away) loses the line; the host learns of its end from standard input.
class FileDescriptorLineSink final : public LineSink {
 public:
  explicit FileDescriptorLineSink(int fd) : fd_(fd) {}
  void writeLine(std::string_view line) override;

 private:
  int fd_;
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
