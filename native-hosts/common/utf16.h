#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvix {

// UTF-8 to UTF-16, for work counted in UTF-16 code units (accessibility ranges and carets).
// Absent for invalid UTF-8.
std::optional<std::u16string> toUtf16(std::string_view utf8);

}  // namespace orvix
