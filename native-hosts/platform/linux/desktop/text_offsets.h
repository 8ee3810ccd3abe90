#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace orvix::platform::linux_desktop {

// AT-SPI counts text offsets in characters (Unicode code points); the host counts UTF-16 code
// units, as macOS does. Both convert over the element's text, which must be valid UTF-8.

// Qt and Chromium count AT-SPI offsets in UTF-16 code units, where AT-SPI specifies characters.
// Their character count gives them away on any text beyond the Basic Multilingual Plane (the
// only text where the two differ): it is the text's length in UTF-16 units.
enum class OffsetUnit { characters, utf16Units };
OffsetUnit offsetUnitOf(std::string_view utf8, std::int64_t reportedCount);

// The UTF-16 offset of the character offset `characters`; absent past the end of the text.
std::optional<std::int64_t> utf16OffsetOf(std::string_view utf8, std::int64_t characters);
// The character offset of the UTF-16 offset `units`; absent past the end or inside a
// surrogate pair.
std::optional<std::int64_t> characterOffsetOf(std::string_view utf8, std::int64_t units);
// The character offsets [from, to) of the UTF-16 range at `location` of `length` units;
// absent when either end is, or the length is negative.
std::optional<std::pair<std::int64_t, std::int64_t>> characterRangeOf(std::string_view utf8,
                                                                      std::int64_t location,
                                                                      std::int64_t length);

}  // namespace orvix::platform::linux_desktop
