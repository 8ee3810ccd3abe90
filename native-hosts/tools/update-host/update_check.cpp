#include "tools/update-host/update_check.h"

#include "tools/update-host/configuration.h"
#include "tools/update-host/failure.h"
#include "tools/update-host/gateway_client.h"
#include "tools/update-host/version_rules.h"

namespace orvix::update_host {

namespace {

std::string requireVersion(std::optional<std::string> version) {
  if (!version) throw UpdateFailure(Failure::version);
  return std::move(*version);
}

}  // namespace

Json gatewayBody(const UpdateRequest& request, const Json& profile) {
  Json base = {
      {"appid", profile.at("appId")},
      {"productId", profile.at("productId")},
      {"modelId", profile.at("modelId")},
      {"deviceId", request.identity},
      {"pVer", "1.1"},
  };
  if (request.kind == UpdateKind::desktop) {
    base["clientVer"] = requireVersion(desktopClientVersion(request.currentVersion));
    return Json{{"base", std::move(base)}, {"param", Json::object()}};
  }

  base["clientVer"] = requireVersion(firmwareClientVersion(request.clientVersion));
  base["romVer"] = requireVersion(firmwareRomVersion(request.currentVersion));
  for (const auto key : {"imei", "mac", "meid", "latitude", "longitude", "province", "city"}) {
    base[key] = "";
  }
  base["osid"] = "Mac";
  base["lang"] = "zh";
  base["df"] = "darwin/x64";
  Json app = {{"pkgName", profile.at("packageName")}, {"appVersion", request.clientVersion}};
  Json param = {{"apps", Json::array({std::move(app)})}};
  return Json{{"base", std::move(base)}, {"param", std::move(param)}};
}

Json checkForUpdate(const Json& request, const Json& configuration, GatewayAccess& access) {
  const auto validated = validateRequest(request);
  if (!validated) throw UpdateFailure(Failure::config);
  const GatewaySettings settings = readGatewaySettings(configuration, validated->kind);
  const auto bodyText = serializeCompact(gatewayBody(*validated, settings.profile));
  if (!bodyText) throw UpdateFailure(Failure::response);
  Json answer = sendToGateway(*bodyText, validated->kind, settings, access.nextStamp(),
                              access.transport, access.limits);
  return Json{{"response", std::move(answer)},
              {"publicConfig", publicConfiguration(configuration)}};
}

}  // namespace orvix::update_host
