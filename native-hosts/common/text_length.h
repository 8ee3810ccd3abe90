#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace orvix {

// Lengths the protocols count text in. Both take UTF-8 and give absent for invalid UTF-8.

// User-perceived characters (extended grapheme clusters): "e" + U+0301 or a flag is one.
std::optional<std::size_t> graphemeClusterCount(std::string_view utf8);

// UTF-16 code units, as the platform's string APIs count selections and ranges.
std::optional<std::size_t> utf16Length(std::string_view utf8);

// True when the text holds 1 to `maximumCharacters` user-perceived characters. Cheaper than a
// full count: stops counting once the limit is passed, and skips counting when the byte length
// alone proves the text short enough.
bool isBoundedText(std::string_view utf8, std::size_t maximumCharacters);

}  // namespace orvix
