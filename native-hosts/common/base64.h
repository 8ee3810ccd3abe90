#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvix {

// Standard Base64 (RFC 4648 alphabet with "+" and "/"), padded, without line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);

// Strict decoding: the length must be a multiple of four, every character must be in the
// alphabet (white space and line breaks included are refused), and "=" may only pad the last
// group, once or twice. Bits left over in a padded group are ignored, as the platform's own
// decoder does. The empty text decodes to no bytes. Absent on any violation.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace orvix
