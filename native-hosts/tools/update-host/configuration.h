#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/json_wire.h"
#include "tools/update-host/failure.h"
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

// CHANNEL_CONFIGURATION with what exactly is wrong, for whoever builds the program.
class ConfigurationProblem : public UpdateFailure {
 public:
  explicit ConfigurationProblem(std::string problem)
      : UpdateFailure(Failure::config), problem_(std::move(problem)) {}
  const std::string& problem() const { return problem_; }

 private:
  std::string problem_;
};

// Throws ConfigurationProblem when a key is missing or of the wrong type, when the kind has no
// profile or the profile lacks one of its keys, or when the URL does not parse. The two public
// values are required too, so that a check never sends a request whose answer it cannot print.
GatewaySettings readGatewaySettings(const Json& configuration, UpdateKind kind);

// The first reason why checks of either kind could only answer CHANNEL_CONFIGURATION with this
// configuration (the settings above, or a secret that yields no cipher key); absent when there is
// none. The build refuses such a configuration rather than ship a program that never works.
std::optional<std::string> configurationProblem(const Json& configuration);

// The part of the configuration the desktop application receives with every answer.
Json publicConfiguration(const Json& configuration);

}  // namespace orvix::update_host
