#pragma once

#include <functional>

#include "common/json_wire.h"
#include "tools/update-host/gateway_signature.h"
#include "tools/update-host/http_transport.h"
#include "tools/update-host/update_request.h"

namespace orvix::update_host {

// How a check reaches the gateway: the transport, its bounds, and where each request's time and
// nonce come from.
struct GatewayAccess {
  HttpTransport& transport;
  TransportLimits limits;
  std::function<RequestStamp()> nextStamp;
};

// The body the gateway expects, {"base": …, "param": …}, for a validated request and the
// profile of its kind. Throws VERSION_UNAVAILABLE when a version breaks the version rules.
Json gatewayBody(const UpdateRequest& request, const Json& profile);

// One whole check: validates the request (CHANNEL_CONFIGURATION), reads the configuration
// (CHANNEL_CONFIGURATION), applies the version rules (VERSION_UNAVAILABLE), asks the gateway and
// returns {"response": answer, "publicConfig": …}. Every failure is thrown as UpdateFailure.
Json checkForUpdate(const Json& request, const Json& configuration, GatewayAccess& access);

}  // namespace orvix::update_host
