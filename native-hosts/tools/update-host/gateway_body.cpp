#include "tools/update-host/gateway_body.h"

#include "tools/update-host/bounded_json.h"
#include "tools/update-host/failure.h"
#include "tools/update-host/gzip_codec.h"

namespace orvix::update_host {

std::optional<std::string> encodeGatewayBody(std::string_view jsonText, const DesKey& key) {
  const auto compressed = gzipCompress(jsonText, kMaximumPayloadBytes);
  if (!compressed) return std::nullopt;
  return desEcbEncrypt(*compressed, key);
}

Json decodeGatewayAnswer(std::string_view bytes, const DesKey& key) {
  if (const auto deciphered = desEcbDecrypt(bytes, key)) {
    if (const auto text = gzipDecompress(*deciphered, kMaximumPayloadBytes)) {
      try {
        return parseBoundedObject(*text);
      } catch (const UpdateFailure&) {
        // Not JSON after all: try the bytes as they came.
      }
    }
  }
  return parseBoundedObject(bytes);
}

}  // namespace orvix::update_host
