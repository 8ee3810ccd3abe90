#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "tools/update-host/gateway_signature.h"
#include "tools/update-host/response_receiver.h"

namespace orvix::update_host {

// The bounds of one round trip. The program passes the production values; tests shorten them so
// that a silent server costs a fraction of a second.
struct TransportLimits {
  // Connecting, and every stretch without progress, and the whole transfer, each at most this.
  std::chrono::milliseconds transferTimeout{15000};
  // The caller stops waiting after this, whatever the transport is doing.
  std::chrono::milliseconds overallTimeout{16000};
  std::size_t maximumResponseBytes = 1'048'576;
};

struct HttpPost {
  std::string url;
  HeaderList headers;  // exactly these are sent, besides what HTTP itself needs (Host, length)
  std::string body;
};

// Sends one POST and feeds the answer to the receiver. Implementations follow no redirect, keep
// no cookies, cache or credentials, and never retry.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;

  // Returns once the receiver has completed, or when `limits.overallTimeout` has passed without
  // completion (then the receiver is left incomplete and the transfer is abandoned).
  virtual void post(const HttpPost& request, const TransportLimits& limits,
                    ResponseReceiver& receiver) = 0;
};

}  // namespace orvix::update_host
