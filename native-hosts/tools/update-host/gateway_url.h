#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvix::update_host {

struct GatewayUrl {
  std::string text;  // as configured; the request goes exactly there
  std::string path;  // the part the signature covers, "/" when the URL names none
};

// Absent unless the text is an absolute http or https URL with a host. Anything else would
// either fail later as a transport error that hides the real cause, or send the request
// somewhere the vendor never meant.
std::optional<GatewayUrl> parseGatewayUrl(std::string_view text);

}  // namespace orvix::update_host
