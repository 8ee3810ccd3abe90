#include "tools/sbc-decoder/stdio_streams.h"

#include "common/write_all.h"

namespace orvix::sbc_decoder {

std::size_t StdioInputStream::read(std::span<std::byte> buffer) {
  return std::fread(buffer.data(), 1, buffer.size(), file_);
}

bool StdioInputStream::atEnd() const { return std::feof(file_) != 0; }

bool StdioInputStream::hasError() const { return std::ferror(file_) != 0; }

bool StdioOutputStream::write(std::span<const std::byte> data) {
  // Straight to the descriptor: the stream is unbuffered, and the C library would report an
  // interrupted call or a full non-blocking pipe as a failed write.
  return writeAll(fileno(file_), data);
}

bool StdioOutputStream::flush() { return std::fflush(file_) == 0; }

}  // namespace orvix::sbc_decoder
