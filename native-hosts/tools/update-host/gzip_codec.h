#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvix::update_host {

// gzip as the gateway speaks it: deflate with the gzip wrapper (window bits 31), default level,
// memory level 8, default strategy. Output is collected in 16 KiB chunks and never grows past
// `maximumOutputBytes`, so a small hostile input cannot expand into unbounded memory. Absent when
// zlib reports an error, the input ends before the stream does, or the output would be too big.
std::optional<std::string> gzipCompress(std::string_view data, std::size_t maximumOutputBytes);
std::optional<std::string> gzipDecompress(std::string_view data, std::size_t maximumOutputBytes);

}  // namespace orvix::update_host
