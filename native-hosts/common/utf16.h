#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvix {

// UTF-8 to UTF-16, for work counted in UTF-16 code units (accessibility ranges and carets).
// Absent for invalid UTF-8.
std::optional<std::u16string> toUtf16(std::string_view utf8);

// UTF-16 to UTF-8; a lone surrogate (half of a split pair) becomes U+FFFD.
std::string fromUtf16(std::u16string_view utf16);

}  // namespace orvix
