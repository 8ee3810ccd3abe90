#pragma once

#include <functional>

#include "OrvixBleHost/command_reader.h"
#include "common/bounded_line_reader.h"
#include "common/time/run_loop.h"
#include "common/time/semaphore.h"

namespace orvix::ble_host {

// Reads standard input on the calling (reader) thread and runs each line through `handle` on
// `mainLoop`, then `endOfInput` there too. At most as many lines wait on the loop as `slots`
// starts with: the reader takes a slot before posting and the loop gives it back once the line
// was handled, so a peer that writes faster than the host works blocks in its pipe instead of
// growing the loop's queue.
void forwardCommands(ByteSource& input, RunLoop& mainLoop, Semaphore& slots,
                     std::function<void(const CommandLine&)> handle,
                     std::function<void()> endOfInput);

}  // namespace orvix::ble_host
