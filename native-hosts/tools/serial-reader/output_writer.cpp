#include "tools/serial-reader/output_writer.h"

#include <cerrno>

#include "common/write_all.h"

namespace orvix::serial_reader {
namespace {

RoomWait waitForRoom(SerialSystem& system, int outputFd, int stopFd) {
  pollfd descriptors[2] = {{outputFd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    const IoResult ready = system.poll(descriptors, 2, -1);
    if (!ready.failed()) break;
    if (ready.error != EINTR) return RoomWait::fail;
  }
  if (descriptors[1].revents != 0) return RoomWait::stop;
  // Room, or an error condition that the next write reports precisely.
  return RoomWait::room;
}

}  // namespace

WriteOutcome writeAll(SerialSystem& system, int outputFd, int stopFd, const std::byte* data,
                      std::size_t size) {
  const auto writeSome = [&](std::span<const std::byte> rest) {
    const IoResult written = system.write(outputFd, rest.data(), rest.size());
    return WriteCall{written.count, written.error};
  };
  switch (orvix::writeAll({data, size}, writeSome,
                          [&] { return waitForRoom(system, outputFd, stopFd); })) {
    case WriteAllOutcome::written:
      return WriteOutcome::kWritten;
    case WriteAllOutcome::stopped:
      return WriteOutcome::kStoppedByInput;
    case WriteAllOutcome::failed:
      break;
  }
  return WriteOutcome::kFailed;
}

}  // namespace orvix::serial_reader
