#include "common/bounded_line_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orvix {

namespace {
constexpr std::size_t kChunkBytes = 64 * 1024;
}

FileDescriptorSource::FileDescriptorSource(int fd, bool stoppable) : fd_(fd) {
  if (stoppable && ::pipe(wake_) == 0) {
    for (const int end : wake_) ::fcntl(end, F_SETFD, FD_CLOEXEC);
  }
}

FileDescriptorSource::~FileDescriptorSource() {
  for (const int end : wake_) {
    if (end >= 0) ::close(end);
  }
}

void FileDescriptorSource::stop() {
  if (wake_[1] < 0) return;
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(wake_[1], &byte, 1);
}

std::ptrdiff_t FileDescriptorSource::readSome(char* buffer, std::size_t capacity) {
  for (;;) {
    if (wake_[0] >= 0) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (fds[1].revents != 0) return 0;
    }
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
