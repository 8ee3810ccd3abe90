// One untrusted gateway answer through the decoding: decipher, decompress, parse, and the
// fallback to plain JSON. The first byte picks whether the rest is enciphered and compressed
// first, so the fuzzer reaches the inner layers as easily as the outer ones.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/update-host/bounded_json.h"
#include "tools/update-host/des_ecb.h"
#include "tools/update-host/failure.h"
#include "tools/update-host/gateway_body.h"
#include "tools/update-host/gzip_codec.h"

using namespace orvix::update_host;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const DesKey kKey = *cipherKeyFromSecret("Kx7Lp2Qm");
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string bytes(rest);
  switch (data[0] % 3) {
    case 0:  // as received
      break;
    case 1:  // enciphered only: the inner gzip layer gets arbitrary bytes
      bytes = desEcbEncrypt(rest, kKey);
      break;
    default:  // enciphered and compressed: the parser gets arbitrary text
      if (const auto encoded = encodeGatewayBody(rest, kKey)) bytes = *encoded;
      break;
  }
  try {
    const orvix::Json answer = decodeGatewayAnswer(bytes, kKey);
    if (!answer.is_object()) std::abort();
    (void)orvix::serializeCompact(answer);
  } catch (const UpdateFailure& failure) {
    if (failure.failure() != Failure::response) std::abort();
  }
  if (const auto text = gzipDecompress(bytes, kMaximumPayloadBytes)) {
    if (text->size() > kMaximumPayloadBytes) std::abort();
  }
  return 0;
}
