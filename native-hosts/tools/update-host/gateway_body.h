#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/json_wire.h"
#include "tools/update-host/des_ecb.h"

namespace orvix::update_host {

// The request body as the gateway takes it: the JSON text gzip-compressed, then enciphered.
// Absent only if compression fails.
std::optional<std::string> encodeGatewayBody(std::string_view jsonText, const DesKey& key);

// The answer as the gateway gives it: usually enciphered and compressed JSON, sometimes plain
// JSON (error pages of the gateway itself). Tries the first reading, falls back to the second,
// and throws RESPONSE_INVALID when neither yields a JSON object.
Json decodeGatewayAnswer(std::string_view bytes, const DesKey& key);

}  // namespace orvix::update_host
