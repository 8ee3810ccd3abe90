#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/text_length.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto clusters = orvix::graphemeClusterCount(text);
  const auto units = orvix::utf16Length(text);
  if (clusters.has_value() != units.has_value()) std::abort();
  if (!clusters) return 0;
  if (*clusters > *units || *units > size) std::abort();
  for (std::size_t bound : {std::size_t{1}, std::size_t{8}, std::size_t{128}}) {
    const bool bounded = orvix::isBoundedText(text, bound);
    if (bounded != (*clusters >= 1 && *clusters <= bound)) std::abort();
  }
  return 0;
}
