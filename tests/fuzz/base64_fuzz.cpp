#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto decoded = orvix::base64Decode(text);
  if (!decoded) return 0;
  if (decoded->size() != text.size() / 4 * 3 - (text.ends_with("==")  ? 2
                                                : text.ends_with("=") ? 1
                                                                      : 0)) {
    std::abort();
  }
  if (orvix::base64Decode(orvix::base64Encode(*decoded)) != decoded) std::abort();
  return 0;
}
