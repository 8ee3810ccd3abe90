#include "OrvixBleHost/command_forwarder.h"

#include <memory>

namespace orvix::ble_host {

void forwardCommands(ByteSource& input, RunLoop& mainLoop, Semaphore& slots,
                     std::function<void(const CommandLine&)> handle,
                     std::function<void()> endOfInput) {
  auto handler = std::make_shared<std::function<void(const CommandLine&)>>(std::move(handle));
  readCommands(
      input,
      [&](CommandLine line) {
        slots.wait();
        mainLoop.post([handler, &slots, line = std::move(line)] {
          (*handler)(line);
          slots.signal();
        });
      },
      [&] { mainLoop.post(std::move(endOfInput)); });
}

}  // namespace orvix::ble_host
