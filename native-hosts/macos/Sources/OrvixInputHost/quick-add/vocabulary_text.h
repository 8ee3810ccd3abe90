#pragma once

#include <string_view>

namespace orvix::input_host {

// Whether copied text can be offered as a vocabulary entry: not only white space, at most 64
// UTF-16 code units as the platform counts them, on one line, no NUL, valid UTF-8. A single
// word or short phrase, not a paragraph the user copied for other reasons.
bool eligibleVocabularyText(std::string_view text);

}  // namespace orvix::input_host
