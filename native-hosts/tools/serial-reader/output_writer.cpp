#include "tools/serial-reader/output_writer.h"

#include <cerrno>

namespace orvix::serial_reader {
namespace {

enum class RoomOutcome { kRoom, kStoppedByInput, kFailed };

RoomOutcome waitForRoom(SerialSystem& system, int outputFd, int stopFd) {
  pollfd descriptors[2] = {{outputFd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    const IoResult ready = system.poll(descriptors, 2, -1);
    if (!ready.failed()) break;
    if (ready.error != EINTR) return RoomOutcome::kFailed;
  }
  if (descriptors[1].revents != 0) return RoomOutcome::kStoppedByInput;
  // Room, or an error condition that the next write reports precisely.
  return RoomOutcome::kRoom;
}

}  // namespace

WriteOutcome writeAll(SerialSystem& system, int outputFd, int stopFd, const std::byte* data,
                      std::size_t size) {
  while (size > 0) {
    const IoResult written = system.write(outputFd, data, size);
    if (written.failed()) {
      if (written.error == EINTR) continue;
      if (written.error != EAGAIN && written.error != EWOULDBLOCK) return WriteOutcome::kFailed;
      switch (waitForRoom(system, outputFd, stopFd)) {
        case RoomOutcome::kRoom:
          continue;
        case RoomOutcome::kStoppedByInput:
          return WriteOutcome::kStoppedByInput;
        case RoomOutcome::kFailed:
          return WriteOutcome::kFailed;
      }
    }
    // A write that moves nothing would repeat forever; no working output does that.
    if (written.count <= 0) return WriteOutcome::kFailed;
    data += written.count;
    size -= static_cast<std::size_t>(written.count);
  }
  return WriteOutcome::kWritten;
}

}  // namespace orvix::serial_reader
