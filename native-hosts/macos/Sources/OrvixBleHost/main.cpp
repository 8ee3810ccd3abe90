// OrvixBleHost: the desktop application's Bluetooth LE central for the recorder. Reads JSON-line
// commands on standard input and writes JSON-line events on standard output until "shutdown" or
// the end of input, then exits 0.
//
//   OrvixBleHost                    the Bluetooth stack of the machine it runs on
//   OrvixBleHost --simulate NAME    development only: a simulated radio world ("default" or the
//                                   path of a scenario file)

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <variant>

#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/command_forwarder.h"
#include "OrvixBleHost/host_output_writer.h"
#include "common/bounded_line_reader.h"
#include "common/time/real_time_source.h"
#include "platform/machine_bluetooth.h"
#include "platform/simulated/bluetooth/bluetooth_scenario_parser.h"
#include "platform/simulated/bluetooth/simulated_bluetooth.h"

namespace {

using namespace orvix;
using namespace orvix::ble_host;

[[noreturn]] void exitNow(int status) {
  // Threads may still be blocked reading standard input or writing to a stalled reader: leave
  // without running destructors that would wait for them.
  std::_Exit(status);
}

[[noreturn]] void runHost(platform::Bluetooth& bluetooth, RealTimeSource& time,
                          HostOutputWriter& output) {
  BleHost host(bluetooth, time.mainLoop(), output, exitNow);
  host.start();
  FileDescriptorSource input(STDIN_FILENO);
  auto slots = time.makeSemaphore(static_cast<int>(maximumCommandsInFlight));
  auto reader = time.startThread("OrvixBleHost.stdin", [&] {
    forwardCommands(
        input, time.mainLoop(), *slots,
        [&host](const CommandLine& line) {
          if (line.text) {
            host.handle(*line.text);
          } else {
            host.handleOverlongLine();
          }
        },
        [&host] { host.shutdown("stdin-eof"); });
  });
  time.mainLoop().run();
  exitNow(EXIT_SUCCESS);  // not reached: shutdown ends the process
}

int usage() {
  std::fputs("usage: OrvixBleHost [--simulate default|SCENARIO_FILE]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A desktop application that goes away closes our standard output; writes must fail quietly
  // rather than kill the process before it sees the end of its input.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc != 1 && (argc != 3 || std::strcmp(argv[1], "--simulate") != 0)) return usage();

  std::optional<platform::simulated::BluetoothScenario> scenario;
  if (argc == 3) {
    auto loaded = platform::simulated::loadBluetoothScenario(argv[2]);
    if (auto* error = std::get_if<platform::simulated::BluetoothScenarioError>(&loaded)) {
      std::fprintf(stderr, "OrvixBleHost: scenario %s: %s\n", argv[2], error->message.c_str());
      return 2;
    }
    scenario = std::move(std::get<platform::simulated::BluetoothScenario>(loaded));
  }

  RealTimeSource time;
  FileDescriptorLineSink standardOutput(STDOUT_FILENO);
  // Created and started before anything can emit.
  HostOutputWriter output(standardOutput);
  output.start(time);

  if (scenario) {
    platform::simulated::SimulatedBluetooth bluetooth(time, std::move(*scenario));
    runHost(bluetooth, time, output);
  }
  const auto bluetooth = platform::makeMachineBluetooth(time.mainLoop());
  runHost(*bluetooth, time, output);
}
