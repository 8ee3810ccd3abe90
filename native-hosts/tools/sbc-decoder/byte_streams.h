#pragma once

#include <cstddef>
#include <span>

namespace orvix::sbc_decoder {

// The input as the decoder sees it: blocking reads plus the two indicators a C stream keeps.
// The framing rules depend on telling "nothing more" (end) from "nothing now" (error).
class InputStream {
 public:
  virtual ~InputStream() = default;
  // Reads up to buffer.size() bytes, blocking until some arrive; 0 at end of input or on error.
  virtual std::size_t read(std::span<std::byte> buffer) = 0;
  virtual bool atEnd() const = 0;
  virtual bool hasError() const = 0;
};

// Standard output as the decoder sees it.
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  // One write of all of data, so a live consumer gets each frame or block at once. False when
  // fewer bytes were accepted.
  virtual bool write(std::span<const std::byte> data) = 0;
  virtual bool flush() = 0;
};

}  // namespace orvix::sbc_decoder
