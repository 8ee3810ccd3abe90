#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvix::input_host {

// Text comparisons of the agent commit. Both sides are UTF-8.

// Case-insensitive in the user's locale: application names and composer signatures are
// matched however the application capitalises them.
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool containsIgnoringCase(std::string_view text, std::string_view part);
// The text is lowered once for all parts: a composer may hold a long draft.
bool containsAnyIgnoringCase(std::string_view text, const std::vector<std::string_view>& parts);

// A draft as it is compared: U+FEFF removed, U+00A0 made a space, white space and line breaks
// trimmed at both ends. Composers pad and decorate what they show; these differences are not
// the user's text.
std::string normalizedAgentDraft(std::string_view text);

// User-perceived characters of the text (0 for invalid UTF-8).
long long agentCharacterCount(std::string_view text);

}  // namespace orvix::input_host
