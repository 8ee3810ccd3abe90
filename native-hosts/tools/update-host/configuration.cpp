#include "tools/update-host/configuration.h"

#include <algorithm>

#include "tools/update-host/des_ecb.h"

namespace orvix::update_host {

namespace {

[[noreturn]] void configurationFailure(std::string problem) {
  throw ConfigurationProblem(std::move(problem));
}

// `where` names the object for the message: "the configuration" or a profile.
const Json& requiredMember(const Json& object, std::string_view key, std::string_view where) {
  const auto it = object.find(key);
  if (it == object.end())
    configurationFailure(std::string(where) + " lacks \"" + std::string(key) + "\"");
  return *it;
}

const std::string& requiredString(const Json& object, std::string_view key) {
  const auto* value = stringMember(object, key);
  if (value == nullptr)
    configurationFailure("\"" + std::string(key) + "\" is missing or not a string");
  return *value;
}

constexpr std::string_view kWhole = "the configuration";

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
  if (!configuration.is_object()) configurationFailure("the configuration is not an object");
  const Json& profiles = requiredMember(configuration, "profiles", kWhole);
  if (!profiles.is_object()) configurationFailure("\"profiles\" is not an object");
  const std::string profileName = kindName(kind) + ":darwin:x64";
  const Json& profile = requiredMember(profiles, profileName, "\"profiles\"");
  if (!profile.is_object())
    configurationFailure("profile \"" + profileName + "\" is not an object");
  const std::string where = "profile \"" + profileName + "\"";
  for (const auto key : {"appId", "productId", "modelId"}) requiredMember(profile, key, where);
  if (kind == UpdateKind::firmware) requiredMember(profile, "packageName", where);

  auto url = parseGatewayUrl(requiredString(configuration, "gatewayUrl"));
  if (!url) configurationFailure("\"gatewayUrl\" is not an absolute http or https URL");
  GatewaySettings settings{profile, std::move(*url), requiredString(configuration, "gatewaySecret"),
                           requiredString(configuration, "gatewayAppId")};
  requiredMember(configuration, "downloadOrigins", kWhole);
  requiredMember(configuration, "allowInsecureHttp", kWhole);
  return settings;
}

std::optional<std::string> configurationProblem(const Json& configuration) {
  try {
    for (const auto kind : {UpdateKind::desktop, UpdateKind::firmware}) {
      const GatewaySettings settings = readGatewaySettings(configuration, kind);
      if (!cipherKeyFromSecret(settings.secret)) {
        return "the first 8 characters of \"gatewaySecret\" must take 8 bytes (the body cipher "
               "key)";
      }
    }
  } catch (const ConfigurationProblem& problem) {
    return problem.problem();
  }
  return std::nullopt;
}

Json publicConfiguration(const Json& configuration) {
  return Json{{"downloadOrigins", configuration.at("downloadOrigins")},
              {"allowInsecureHttp", configuration.at("allowInsecureHttp")},
              {"profiles", configuration.at("profiles")}};
}

}  // namespace orvix::update_host
