#include "tools/update-host/configuration.h"

#include <algorithm>

#include "tools/update-host/failure.h"

namespace orvix::update_host {

namespace {

[[noreturn]] void configurationFailure() { throw UpdateFailure(Failure::config); }

const Json& requiredMember(const Json& object, std::string_view key) {
  const auto it = object.find(key);
  if (it == object.end()) configurationFailure();
  return *it;
}

const std::string& requiredString(const Json& object, std::string_view key) {
  const auto* value = stringMember(object, key);
  if (value == nullptr) configurationFailure();
  return *value;
}

}  // namespace

std::string unmaskConfiguration(std::span<const std::uint8_t> bytes,
                                std::span<const std::uint8_t> mask) {
  const std::size_t length = std::min(bytes.size(), mask.size());
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    text[i] = static_cast<char>(bytes[i] ^ mask[i]);
  }
  return text;
}

GatewaySettings readGatewaySettings(const Json& configuration, UpdateKind kind) {
  if (!configuration.is_object()) configurationFailure();
  const Json& profiles = requiredMember(configuration, "profiles");
  if (!profiles.is_object()) configurationFailure();
  const Json& profile = requiredMember(profiles, kindName(kind) + ":darwin:x64");
  if (!profile.is_object()) configurationFailure();
  for (const auto key : {"appId", "productId", "modelId"}) requiredMember(profile, key);
  if (kind == UpdateKind::firmware) requiredMember(profile, "packageName");

  auto url = parseGatewayUrl(requiredString(configuration, "gatewayUrl"));
  if (!url) configurationFailure();
  GatewaySettings settings{profile, std::move(*url), requiredString(configuration, "gatewaySecret"),
                           requiredString(configuration, "gatewayAppId")};
  requiredMember(configuration, "downloadOrigins");
  requiredMember(configuration, "allowInsecureHttp");
  return settings;
}

Json publicConfiguration(const Json& configuration) {
  return Json{{"downloadOrigins", configuration.at("downloadOrigins")},
              {"allowInsecureHttp", configuration.at("allowInsecureHttp")},
              {"profiles", configuration.at("profiles")}};
}

}  // namespace orvix::update_host
