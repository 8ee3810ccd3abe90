#include "common/bounded_line_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orvix {

namespace {
constexpr std::size_t kChunkBytes = 64 * 1024;
}

std::ptrdiff_t FileDescriptorSource::readSome(char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, capacity);
    if (n >= 0 || errno != EINTR) return n;
  }
}

BoundedLineReader::BoundedLineReader(ByteSource& source, std::size_t maximumLineBytes)
    : source_(source), maximumLineBytes_(maximumLineBytes), buffer_(kChunkBytes) {}

bool BoundedLineReader::refill() {
  if (endOfStream_) return false;
  const std::ptrdiff_t n = source_.readSome(buffer_.data(), buffer_.size());
  if (n <= 0) {
    endOfStream_ = true;
    return false;
  }
  begin_ = 0;
  end_ = static_cast<std::size_t>(n);
  return true;
}

BoundedLineReader::Result BoundedLineReader::next() {
  std::string text;
  bool overLong = false;
  bool sawBytes = false;
  for (;;) {
    if (begin_ == end_ && !refill()) {
      // End of stream: a pending unterminated line is still a line.
      if (overLong) return {Status::overLong, {}};
      if (sawBytes) return {Status::line, std::move(text)};
      return {Status::end, {}};
    }
    sawBytes = true;
    const char* start = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const void* newline = std::memchr(start, '\n', available);
    const std::size_t take =
        newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - start) : available;
    if (!overLong) {
      if (text.size() + take > maximumLineBytes_) {
        overLong = true;
        text.clear();
        text.shrink_to_fit();
      } else {
        text.append(start, take);
      }
    }
    begin_ += take;
    if (newline) {
      ++begin_;  // the LF itself
      if (overLong) return {Status::overLong, {}};
      return {Status::line, std::move(text)};
    }
  }
}

}  // namespace orvix
