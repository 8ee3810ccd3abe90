#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvix::update_host {

struct GatewayUrl {
  std::string text;  // as configured; the request goes exactly there
  std::string path;  // the part the signature covers, "/" when the URL names none
  std::string host;  // decoded, as the name service would be asked for it
};

// Absent unless the text is an absolute http or https URL with a host. Anything else would
// either fail later as a transport error that hides the real cause, or send the request
// somewhere the vendor never meant.
std::optional<GatewayUrl> parseGatewayUrl(std::string_view text);

// True for "invalid" and every name under it, in any letter case, with or without the final
// dot. Such names never resolve (RFC 6761), so asking a name server about one only sends a query
// off the machine for an answer known in advance.
bool isUnderInvalidDomain(std::string_view host);

}  // namespace orvix::update_host
