#pragma once

#include "tools/update-host/http_transport.h"

namespace orvix::update_host {

// The HTTP client of this machine: libcurl, driven from the calling thread through its multi
// interface so that the overall wait is one deadline on one thread and the receiver is only
// ever touched there. Create one per process (it initialises libcurl).
class CurlTransport final : public HttpTransport {
 public:
  CurlTransport();
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  void post(const HttpPost& request, const TransportLimits& limits,
            ResponseReceiver& receiver) override;
};

}  // namespace orvix::update_host
