#include "tools/update-host/gateway_client.h"

#include "tools/update-host/des_ecb.h"
#include "tools/update-host/failure.h"
#include "tools/update-host/gateway_body.h"
#include "tools/update-host/md5_hex.h"

namespace orvix::update_host {

namespace {

DesKey requireCipherKey(const std::string& secret) {
  const auto key = cipherKeyFromSecret(secret);
  if (!key) throw UpdateFailure(Failure::config);
  return *key;
}

}  // namespace

PreparedRequest prepareGatewayRequest(std::string_view jsonBody, UpdateKind kind,
                                      const GatewaySettings& settings, const RequestStamp& stamp) {
  const DesKey key = requireCipherKey(settings.secret);
  auto body = encodeGatewayBody(jsonBody, key);
  if (!body) throw UpdateFailure(Failure::response);
  auto signedHeaders = signGatewayRequest(
      SigningInput{kind, md5Hex(*body), settings.url.path, settings.secret, settings.appId, stamp});
  return PreparedRequest{
      HttpPost{settings.url.text, std::move(signedHeaders.headers), std::move(*body)},
      std::move(signedHeaders.stringToSign)};
}

Json sendToGateway(std::string_view jsonBody, UpdateKind kind, const GatewaySettings& settings,
                   const RequestStamp& stamp, HttpTransport& transport,
                   const TransportLimits& limits) {
  const PreparedRequest prepared = prepareGatewayRequest(jsonBody, kind, settings, stamp);
  // The answer for a name that cannot resolve is known without asking anyone, and a proxy would
  // only be handed the same hopeless name.
  if (isUnderInvalidDomain(settings.url.host)) throw UpdateFailure(Failure::network);
  ResponseReceiver receiver(limits.maximumResponseBytes);
  transport.post(prepared.post, limits, receiver);
  // Read only after the transport has returned: the receiver is ours alone again.
  if (!receiver.completed()) throw UpdateFailure(Failure::network);
  if (receiver.failure()) throw UpdateFailure(*receiver.failure());
  return decodeGatewayAnswer(receiver.body(), requireCipherKey(settings.secret));
}

}  // namespace orvix::update_host
