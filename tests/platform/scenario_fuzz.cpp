// Scenario files are outside input: any bytes must give a desktop or a message, never a crash,
// a hang or unbounded memory.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/time/virtual_time_source.h"
#include "platform/simulated/desktop/scenario_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvix::platform::simulated;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = parseScenario(text);
  if (auto* scenario = std::get_if<Scenario>(&parsed)) {
    // What parses must also build: the builder trusts the parser's checks.
    static orvix::VirtualTimeSource time;
    auto built = buildScenario(*scenario, time);
    if (std::holds_alternative<ScenarioError>(built)) __builtin_trap();
  }
  return 0;
}
