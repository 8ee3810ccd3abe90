#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/accessibility.h"

namespace orvix::platform::simulated {

// Text edits the way a macOS text field makes them: positions and lengths count UTF-16 code
// units, so a character outside the Basic Multilingual Plane (most emoji) takes two.

// The length of `utf8` in UTF-16 code units. Malformed bytes count as U+FFFD (one for each
// maximal ill-formed subpart), as the platform's string conversion would substitute them.
std::int64_t utf16Units(std::string_view utf8);

// The result of typing or pasting `inserted` over `selection` in `value`.
struct TextEdit {
  std::string value;
  TextRange caret;  // after the inserted text, nothing selected
};

// Replaces `selection` of `value` with `inserted`. A selection that does not fit the value is
// clamped into it first, as a field would never hold a caret outside its own text; a cut that
// lands inside a surrogate pair (the two halves of one character) widens to the whole pair.
TextEdit replaceSelection(std::string_view value, TextRange selection, std::string_view inserted);

// The text a selection covers, clamped like replaceSelection.
std::string selectedText(std::string_view value, TextRange selection);

}  // namespace orvix::platform::simulated
