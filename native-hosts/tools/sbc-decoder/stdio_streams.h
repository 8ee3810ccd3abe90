#pragma once

#include <cstdio>

#include "tools/sbc-decoder/byte_streams.h"

namespace orvix::sbc_decoder {

// A C stream opened for reading; the caller keeps ownership.
class StdioInputStream final : public InputStream {
 public:
  explicit StdioInputStream(std::FILE* file) : file_(file) {}
  std::size_t read(std::span<std::byte> buffer) override;
  bool atEnd() const override;
  bool hasError() const override;

 private:
  std::FILE* file_;
};

// A C stream for writing, written through its descriptor: each write goes out at once, whole. The
// stream is expected to be unbuffered, so that nothing written through stdio can wait behind.
class StdioOutputStream final : public OutputStream {
 public:
  explicit StdioOutputStream(std::FILE* file) : file_(file) {}
  bool write(std::span<const std::byte> data) override;
  bool flush() override;

 private:
  std::FILE* file_;
};

}  // namespace orvix::sbc_decoder
