// Untrusted standard input for the Bluetooth host: any bytes, split into lines and decoded as
// the reader does, through the whole command handling on the simulated default world. Each input
// gets a fresh world, so that a crash reproduces from its input alone.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "OrvixBleHost/ble_host.h"
#include "common/time/virtual_time_source.h"
#include "common/utf8_repair.h"
#include "platform/simulated/bluetooth/bluetooth_scenario_parser.h"
#include "platform/simulated/bluetooth/simulated_bluetooth.h"

namespace {

using namespace orvix;

// Checks that every line is one JSON object ending in its only LF, then forgets it.
class CheckingQueue final : public ble_host::EventQueue {
 public:
  void enqueue(std::string line) override {
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) std::abort();
    if (!parseJsonObject(std::string_view(line).substr(0, line.size() - 1))) std::abort();
  }
  bool closeAndFlush(Duration) override { return true; }
};

struct World {
  VirtualTimeSource time;
  platform::simulated::SimulatedBluetooth bluetooth{
      time,
      std::get<platform::simulated::BluetoothScenario>(platform::simulated::parseBluetoothScenario(
          platform::simulated::defaultBluetoothScenarioJson()))};
  CheckingQueue queue;
  // "shutdown" ends a real host; here the next line simply goes on.
  ble_host::BleHost host{bluetooth, time.mainLoop(), queue, [](int) {}};

  World() {
    host.start();
    // The user allows Bluetooth when asked (the default world answers after 300 ms).
    host.handle(R"({"schemaVersion":1,"command":"permission.refresh","requestId":"setup",)"
                R"("requestAuthorization":true})");
    time.advanceBy(std::chrono::milliseconds(300));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto world = std::make_unique<World>();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    const auto end = input.find('\n');
    world->host.handle(orvix::repairUtf8(input.substr(0, end)));
    // Let the simulated radio and the scan timers act between lines.
    world->time.advanceBy(std::chrono::milliseconds(120));
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  return 0;
}
