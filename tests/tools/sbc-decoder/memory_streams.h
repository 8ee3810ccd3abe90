#pragma once

// In-memory stand-ins for the decoder's input and output, for unit tests and the fuzz target.
#include <algorithm>
#include <cstddef>
#include <deque>
#include <span>
#include <vector>

#include "tools/sbc-decoder/byte_streams.h"

namespace orvix::sbc_decoder::testing {

// Hands out its bytes in reads of at most `maximumRead` bytes (short reads, as a pipe gives), then
// behaves as the script says: end of input, or a failed read, or both indicators set.
class ScriptedInputStream final : public InputStream {
 public:
  explicit ScriptedInputStream(std::vector<std::byte> bytes, std::size_t maximumRead = 4096)
      : bytes_(std::move(bytes)), maximumRead_(maximumRead) {}

  void failWhenDrained() { failWhenDrained_ = true; }
  void errorAlreadySet() { error_ = true; }

  std::size_t read(std::span<std::byte> buffer) override {
    const std::size_t n = std::min({buffer.size(), bytes_.size() - offset_, maximumRead_});
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset_), n, buffer.begin());
    offset_ += n;
    if (n < buffer.size() && offset_ == bytes_.size()) {
      if (failWhenDrained_) {
        error_ = true;
      } else {
        end_ = true;
      }
    }
    return n;
  }
  bool atEnd() const override { return end_; }
  bool hasError() const override { return error_; }

 private:
  std::vector<std::byte> bytes_;
  std::size_t maximumRead_;
  std::size_t offset_ = 0;
  bool failWhenDrained_ = false;
  bool end_ = false;
  bool error_ = false;
};

// Keeps what was written, and the size of every write.
class CapturingOutputStream final : public OutputStream {
 public:
  bool write(std::span<const std::byte> data) override {
    bytes.insert(bytes.end(), data.begin(), data.end());
    writeSizes.push_back(data.size());
    return true;
  }
  bool flush() override { return true; }

  std::vector<std::byte> bytes;
  std::vector<std::size_t> writeSizes;
};

}  // namespace orvix::sbc_decoder::testing
