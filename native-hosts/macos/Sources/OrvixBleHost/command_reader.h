#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/bounded_line_reader.h"

namespace orvix::ble_host {

// One line of standard input as the host is handed it: without its terminator (LF or CR LF),
// decoded as UTF-8 with ill-formed bytes replaced. Absent for a line too long to hold.
struct CommandLine {
  std::optional<std::string> text;
};

// Reads standard input until its end, handing each line to `deliver` in order, then calls
// `endOfInput`. Runs on the reader thread; `deliver` only posts to the main loop. A line is held
// only up to a little more than the command bound: anything longer is consumed and delivered
// as over-long, so a peer cannot make the host grow.
void readCommands(ByteSource& input, const std::function<void(CommandLine)>& deliver,
                  const std::function<void()>& endOfInput);

}  // namespace orvix::ble_host
