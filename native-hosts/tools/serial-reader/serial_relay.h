#pragma once

#include "tools/serial-reader/exit_status.h"
#include "tools/serial-reader/serial_system.h"

namespace orvix::serial_reader {

// The largest single read from the device; each read is forwarded before the next one.
inline constexpr std::size_t maximumReadBytes = 4096;

// Copies every byte from the configured device to outputFd until something ends the relay:
// any event on inputFd (data, end of file, hang-up, or a descriptor that is not open) -> kOk;
// the device failing, hanging up or ending -> kDeviceFailed; the output failing -> kOutputFailed.
// Waits without a time limit, so an idle device costs no processor time.
ExitStatus relayDevice(SerialSystem& system, int deviceFd, int inputFd, int outputFd);

}  // namespace orvix::serial_reader
