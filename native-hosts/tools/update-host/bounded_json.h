#pragma once

#include <cstddef>
#include <string_view>

#include "common/json_wire.h"

namespace orvix::update_host {

// The largest answer, decompressed text or parsed document the checker holds: 1 MiB.
inline constexpr std::size_t kMaximumPayloadBytes = 1'048'576;

// Deeper nesting than this is refused before parsing: writing such a document back out would
// recurse once per level, and nothing the update service sends comes close.
inline constexpr std::size_t kMaximumNestingDepth = 512;

// Parses untrusted bytes into a JSON object: the request, the built-in configuration and the
// gateway's answer all go through here. Throws RESPONSE_INVALID for text over the payload limit,
// invalid UTF-8, a syntax error, nesting past the depth limit or a top level that is not an
// object.
Json parseBoundedObject(std::string_view bytes);

}  // namespace orvix::update_host
