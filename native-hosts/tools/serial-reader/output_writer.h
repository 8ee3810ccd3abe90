#pragma once

#include <cstddef>

#include "tools/serial-reader/serial_system.h"

namespace orvix::serial_reader {

enum class WriteOutcome {
  kWritten,         // every byte went out
  kStoppedByInput,  // standard input signalled while the output was full
  kFailed,          // the output refused the bytes
};

// Writes all of data to outputFd: continues after partial writes and interrupted calls, and when
// a non-blocking output is full, waits for room instead of spinning. While waiting, an event on
// stopFd (standard input) ends the wait, so a stalled consumer cannot keep the reader alive after
// it was told to stop. A negative stopFd is not watched.
WriteOutcome writeAll(SerialSystem& system, int outputFd, int stopFd, const std::byte* data,
                      std::size_t size);

}  // namespace orvix::serial_reader
