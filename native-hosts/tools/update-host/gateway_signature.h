#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tools/update-host/update_request.h"

namespace orvix::update_host {

// What makes each request unique: when it was made (wall-clock time, for the Date and timestamp
// headers) and a fresh lower-case UUID. Handed in so that a test can fix both.
struct RequestStamp {
  std::chrono::system_clock::time_point time;
  std::string nonce;
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct SignedHeaders {
  HeaderList headers;        // all fifteen, in the order they are sent
  std::string stringToSign;  // kept for tests and diagnostics; never sent
};

struct SigningInput {
  UpdateKind kind;           // selects the gateway operation (X-Ca-Api)
  std::string bodyMd5;       // md5Hex of the enciphered body
  std::string path;          // the gateway URL's path
  std::string secret;        // gatewaySecret
  std::string gatewayAppId;  // X-Ca-Appid
  RequestStamp stamp;
};

// The gateway authenticates a call by an MD5 over the method, content headers, date, every
// "X-Ca-" header (sorted by name, as "name:value\n"), the path and the shared secret.
SignedHeaders signGatewayRequest(const SigningInput& input);

}  // namespace orvix::update_host
