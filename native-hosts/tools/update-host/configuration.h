#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/json_wire.h"
#include "tools/update-host/gateway_url.h"
#include "tools/update-host/update_request.h"

namespace orvix::update_host {

// The program carries its configuration as two byte arrays: the JSON text combined with a random
// mask by exclusive or. This gives the text back, over the shorter of the two lengths.
std::string unmaskConfiguration(std::span<const std::uint8_t> bytes,
                                std::span<const std::uint8_t> mask);

// What one check needs from the configuration for the request's kind.
struct GatewaySettings {
  Json profile;  // the "<kind>:darwin:x64" profile, holding appId, productId, modelId (+
                 // packageName)
  GatewayUrl url;
  std::string secret;
  std::string appId;
};

// Throws CHANNEL_CONFIGURATION when a key is missing or of the wrong type, when the kind has no
// profile or the profile lacks one of its keys, or when the URL does not parse. The two public
// values are required too, so that a check never sends a request whose answer it cannot print.
GatewaySettings readGatewaySettings(const Json& configuration, UpdateKind kind);

// The part of the configuration the desktop application receives with every answer.
Json publicConfiguration(const Json& configuration);

}  // namespace orvix::update_host
