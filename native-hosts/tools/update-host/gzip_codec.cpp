#include "tools/update-host/gzip_codec.h"

#include <zlib.h>

#include <array>

namespace orvix::update_host {

namespace {

constexpr int kGzipWindowBits = 31;  // 15-bit window plus 16: the gzip wrapper, nothing else
constexpr int kMemoryLevel = 8;
constexpr std::size_t kChunkBytes = 16384;

enum class Direction { compress, decompress };

// zlib's stream functions take mutable pointers even for input they only read.
Bytef* inputPointer(std::string_view data) {
  return reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
}

// One pass that asks zlib to finish on every call. Each call gets a fresh 16 KiB window; a call
// that produces nothing before the stream has ended means the input is truncated or stuck.
std::optional<std::string> runStream(z_stream& stream, Direction direction,
                                     std::size_t maximumOutputBytes) {
  std::string output;
  std::array<Bytef, kChunkBytes> chunk;
  for (;;) {
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    const int status =
        direction == Direction::compress ? deflate(&stream, Z_FINISH) : inflate(&stream, Z_FINISH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return std::nullopt;
    const std::size_t produced = chunk.size() - stream.avail_out;
    if (produced > maximumOutputBytes - output.size()) return std::nullopt;
    output.append(reinterpret_cast<const char*>(chunk.data()), produced);
    if (status == Z_STREAM_END) return output;
    if (produced == 0) return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> gzipCompress(std::string_view data, std::size_t maximumOutputBytes) {
  if (data.size() > UINT32_MAX) return std::nullopt;
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::nullopt;
  }
  stream.next_in = inputPointer(data);
  stream.avail_in = static_cast<uInt>(data.size());
  auto output = runStream(stream, Direction::compress, maximumOutputBytes);
  deflateEnd(&stream);
  return output;
}

std::optional<std::string> gzipDecompress(std::string_view data, std::size_t maximumOutputBytes) {
  if (data.size() > UINT32_MAX) return std::nullopt;
  z_stream stream{};
  if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) return std::nullopt;
  stream.next_in = inputPointer(data);
  stream.avail_in = static_cast<uInt>(data.size());
  auto output = runStream(stream, Direction::decompress, maximumOutputBytes);
  inflateEnd(&stream);
  return output;
}

}  // namespace orvix::update_host
