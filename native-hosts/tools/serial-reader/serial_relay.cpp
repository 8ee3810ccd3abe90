#include "tools/serial-reader/serial_relay.h"

#include <array>
#include <cerrno>

#include "tools/serial-reader/output_writer.h"

namespace orvix::serial_reader {
namespace {

constexpr short kDeviceTrouble = POLLERR | POLLHUP | POLLNVAL;

bool isRetryableReadError(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

ExitStatus relayDevice(SerialSystem& system, int deviceFd, int inputFd, int outputFd) {
  std::array<std::byte, maximumReadBytes> buffer;
  pollfd descriptors[2] = {{deviceFd, POLLIN, 0}, {inputFd, POLLIN, 0}};
  pollfd& device = descriptors[0];
  pollfd& input = descriptors[1];

  for (;;) {
    device.revents = 0;
    input.revents = 0;
    const IoResult ready = system.poll(descriptors, 2, -1);
    if (ready.failed()) {
      if (ready.error == EINTR) continue;
      return ExitStatus::kDeviceFailed;
    }

    // Standard input is how the desktop application says "stop"; it wins over pending data.
    if (input.revents != 0) return ExitStatus::kOk;

    if ((device.revents & POLLIN) != 0) {
      const IoResult received = system.read(deviceFd, buffer.data(), buffer.size());
      if (received.failed()) {
        // Another reader of the port may have taken the bytes between the wait and the read.
        if (isRetryableReadError(received.error)) continue;
        return ExitStatus::kDeviceFailed;
      }
      if (received.count == 0) return ExitStatus::kDeviceFailed;  // the port ended
      switch (writeAll(system, outputFd, inputFd, buffer.data(),
                       static_cast<std::size_t>(received.count))) {
        case WriteOutcome::kWritten:
          continue;
        case WriteOutcome::kStoppedByInput:
          return ExitStatus::kOk;
        case WriteOutcome::kFailed:
          return ExitStatus::kOutputFailed;
      }
      return ExitStatus::kOutputFailed;
    }

    if ((device.revents & kDeviceTrouble) != 0) return ExitStatus::kDeviceFailed;
  }
}

}  // namespace orvix::serial_reader
