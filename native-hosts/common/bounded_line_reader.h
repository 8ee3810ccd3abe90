#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orvix {

// Where the bytes of a line stream come from. Returns the number of bytes read, 0 at end of
// stream, or a negative value when reading failed (which ends the stream as well).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::ptrdiff_t readSome(char* buffer, std::size_t capacity) = 0;
};

// Reads a file descriptor with read(2), retrying interrupted calls. Does not own the descriptor.
class FileDescriptorSource final : public ByteSource {
 public:
  // A stoppable source keeps a pipe of its own to be woken through.
  explicit FileDescriptorSource(int fd, bool stoppable = false);
  ~FileDescriptorSource() override;
  FileDescriptorSource(const FileDescriptorSource&) = delete;
  FileDescriptorSource& operator=(const FileDescriptorSource&) = delete;
  std::ptrdiff_t readSome(char* buffer, std::size_t capacity) override;
  // Ends the stream as if the descriptor had reached its end, waking a read in progress. Only
  // for a stoppable source; callable from any thread, any number of times.
  void stop();

 private:
  int fd_;
  int wake_[2] = {-1, -1};
};

// Splits a byte stream into LF-terminated lines while never holding more than `maximumLineBytes`
// of one line: a longer line is consumed to its end and reported as over-long, so a peer that
// sends an endless line cannot make the process grow. A final line without LF still counts as a
// line. The LF is not part of the text; nothing else (CR included) is stripped.
class BoundedLineReader {
 public:
  enum class Status { line, overLong, end };

  struct Result {
    Status status;
    std::string text;  // the line without its LF; empty unless status == line
  };

  BoundedLineReader(ByteSource& source, std::size_t maximumLineBytes);

  Result next();

 private:
  bool refill();

  ByteSource& source_;
  std::size_t maximumLineBytes_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool endOfStream_ = false;
};

}  // namespace orvix
