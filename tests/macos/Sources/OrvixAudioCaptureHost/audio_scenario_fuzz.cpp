// Scenario files given to --simulate are outside input too: any bytes must parse or be refused
// with a message, never crash or allocate without bound.
#include <cstdint>
#include <string_view>

#include "platform/simulated/audio/audio_scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)orvix::platform::simulated::parseAudioScenario(
      std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
