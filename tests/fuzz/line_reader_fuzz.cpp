// A hostile standard input: lines of any length, split into reads of any size.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "common/bounded_line_reader.h"

namespace {

class FuzzSource final : public orvix::ByteSource {
 public:
  explicit FuzzSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::ptrdiff_t readSome(char* buffer, std::size_t capacity) override {
    if (bytes_.empty()) return 0;
    // The first byte of what is left picks the size of this read.
    const std::size_t n = std::min({capacity, bytes_.size(), std::size_t{1} + bytes_[0] % 97});
    std::copy_n(bytes_.begin(), n, buffer);
    bytes_ = bytes_.subspan(n);
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kLimit = 64;
  FuzzSource source({data, size});
  orvix::BoundedLineReader reader(source, kLimit);
  std::size_t consumedLines = 0;
  for (;;) {
    const auto result = reader.next();
    if (result.status == orvix::BoundedLineReader::Status::end) break;
    if (result.text.size() > kLimit) std::abort();
    if (result.text.find('\n') != std::string::npos) std::abort();
    if (++consumedLines > size + 1) std::abort();
  }
  return 0;
}
