// One untrusted request through everything that runs before the network: the size limit, the
// parser, validation, the version rules and the body the gateway would get.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/update-host/bounded_json.h"
#include "tools/update-host/failure.h"
#include "tools/update-host/update_check.h"
#include "tools/update-host/update_request.h"

namespace {

using namespace orvix::update_host;

const orvix::Json kProfile = {
    {"appId", "a"}, {"productId", 1}, {"modelId", "m"}, {"packageName", "p"}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaximumRequestBytes) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const orvix::Json object = parseBoundedObject(text);
    const auto request = validateRequest(object);
    if (!request) return 0;
    // Whatever passed validation can always be written as the gateway body.
    if (!orvix::serializeCompact(gatewayBody(*request, kProfile))) std::abort();
  } catch (const UpdateFailure& failure) {
    if (failure.failure() != Failure::response && failure.failure() != Failure::version) {
      std::abort();
    }
  }
  return 0;
}
