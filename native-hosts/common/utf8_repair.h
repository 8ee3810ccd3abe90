#pragma once

#include <string>
#include <string_view>

namespace orvix {

// Decodes bytes as UTF-8, replacing every ill-formed sequence with U+FFFD the way the platform's
// string decoding does (one replacement per maximal subpart of a sequence), so a stray byte in a
// command costs that command, not the whole input stream. The result is valid UTF-8.
std::string repairUtf8(std::string_view bytes);

}  // namespace orvix
