#pragma once

#include <string_view>

#include "common/json_wire.h"
#include "tools/update-host/configuration.h"
#include "tools/update-host/gateway_signature.h"
#include "tools/update-host/http_transport.h"

namespace orvix::update_host {

// Sends one body to the gateway operation of `kind` and returns its answer as a JSON object.
// Throws CHANNEL_CONFIGURATION before sending anything when the secret yields no cipher key;
// NETWORK, GATEWAY_REJECTED or RESPONSE_INVALID for what the transport and the answer bring;
// NETWORK at once, with nothing sent, for a gateway under the never-resolving .invalid domain.
Json sendToGateway(std::string_view jsonBody, UpdateKind kind, const GatewaySettings& settings,
                   const RequestStamp& stamp, HttpTransport& transport,
                   const TransportLimits& limits);

// The request exactly as it would go out (URL, fifteen headers, enciphered body), for tests and
// tools that want to look at it without sending.
struct PreparedRequest {
  HttpPost post;
  std::string stringToSign;
};
PreparedRequest prepareGatewayRequest(std::string_view jsonBody, UpdateKind kind,
                                      const GatewaySettings& settings, const RequestStamp& stamp);

}  // namespace orvix::update_host
