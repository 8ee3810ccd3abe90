#include "OrvixBleHost/command_reader.h"

#include "OrvixBleHost/ble_host_constants.h"
#include "common/utf8_repair.h"

namespace orvix::ble_host {

void readCommands(ByteSource& input, const std::function<void(CommandLine)>& deliver,
                  const std::function<void()>& endOfInput) {
  // One byte more than the bound leaves room for the CR of a CR LF terminator; the host still
  // refuses a line whose text alone exceeds the bound.
  BoundedLineReader reader(input, maximumCommandBytes + 1);
  for (;;) {
    auto line = reader.next();
    if (line.status == BoundedLineReader::Status::end) break;
    if (line.status == BoundedLineReader::Status::overLong) {
      deliver(CommandLine{});
      continue;
    }
    if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
    deliver(CommandLine{repairUtf8(line.text)});
  }
  endOfInput();
}

}  // namespace orvix::ble_host
