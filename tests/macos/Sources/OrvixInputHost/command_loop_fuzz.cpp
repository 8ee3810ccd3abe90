// Untrusted standard input for the input host: any bytes, split into lines, through the whole
// command loop on a simulated desktop. One host lives across inputs, so the cache, the capture
// table and the streaming state are exercised at their bounds too.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "common/time/virtual_time_source.h"
#include "platform/simulated/desktop/scenario_loader.h"
#include "OrvixInputHost/delivery/input_host.h"

namespace {

using namespace orvix;

// Throws every line away, checking only that each is one JSON object ending in LF.
class CheckingSink final : public LineSink {
 public:
  void writeLine(std::string_view line) override {
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) std::abort();
    if (!parseJsonObject(line.substr(0, line.size() - 1))) std::abort();
  }
};

struct World {
  VirtualTimeSource time;
  std::unique_ptr<platform::simulated::SimulatedDesktop> desktop;
  platform::Desktop platformDesktop;
  CheckingSink sink;
  input_host::InputHost host;

  static std::unique_ptr<platform::simulated::SimulatedDesktop> load(VirtualTimeSource& time) {
    auto loaded = platform::simulated::loadScenario("default", time);
    return std::move(std::get<platform::simulated::LoadedScenario>(loaded).desktop);
  }

  World() : desktop(load(time)), platformDesktop(desktop->desktop()), host(platformDesktop, time, sink) {
    host.start();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World* world = new World();  // lives for the whole run; never destroyed
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    const auto end = input.find('\n');
    const auto line = input.substr(0, end);
    // "shutdown" ends a real host; here the next line simply goes on.
    world->host.handleLine(line);
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  return 0;
}
