#include "tools/sbc-decoder/stdio_streams.h"

namespace orvix::sbc_decoder {

std::size_t StdioInputStream::read(std::span<std::byte> buffer) {
  return std::fread(buffer.data(), 1, buffer.size(), file_);
}

bool StdioInputStream::atEnd() const { return std::feof(file_) != 0; }

bool StdioInputStream::hasError() const { return std::ferror(file_) != 0; }

bool StdioOutputStream::write(std::span<const std::byte> data) {
  return std::fwrite(data.data(), 1, data.size(), file_) == data.size();
}

bool StdioOutputStream::flush() { return std::fflush(file_) == 0; }

}  // namespace orvix::sbc_decoder
