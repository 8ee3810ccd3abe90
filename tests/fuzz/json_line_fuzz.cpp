// One untrusted command line: parse, read the envelope, answer with a serialised event.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/json_wire.h"
#include "common/text_length.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto object = orvix::parseJsonObject(line);
  if (!object) return 0;
  (void)orvix::integralMember(*object, "schemaVersion");
  if (const auto* command = orvix::stringMember(*object, "command")) {
    // Strings from the parser are valid UTF-8, so they can always be measured.
    if (!orvix::graphemeClusterCount(*command)) std::abort();
  }
  // Anything parsed is either written back or refused; never thrown.
  const auto text = orvix::serializeCompact(*object);
  if (text && !orvix::parseJsonObject(*text)) std::abort();
  return 0;
}
