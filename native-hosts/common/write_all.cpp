#include "common/write_all.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace orvix {

WriteAllOutcome writeAll(std::span<const std::byte> data,
                         const std::function<WriteCall(std::span<const std::byte>)>& writeSome,
                         const std::function<RoomWait()>& waitForRoom) {
  while (!data.empty()) {
    const WriteCall call = writeSome(data);
    if (call.error == EINTR) continue;
    if (call.error == EAGAIN || call.error == EWOULDBLOCK) {
      switch (waitForRoom()) {
        case RoomWait::room:
          continue;
        case RoomWait::stop:
          return WriteAllOutcome::stopped;
        case RoomWait::fail:
          return WriteAllOutcome::failed;
      }
    }
    if (call.error != 0 || call.count <= 0) return WriteAllOutcome::failed;
    data = data.subspan(static_cast<std::size_t>(call.count));
  }
  return WriteAllOutcome::written;
}

bool writeAll(int fd, std::span<const std::byte> data) {
  const auto writeSome = [fd](std::span<const std::byte> rest) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    return written < 0 ? WriteCall{0, errno} : WriteCall{static_cast<long>(written), 0};
  };
  const auto waitForRoom = [fd] {
    pollfd descriptor{fd, POLLOUT, 0};
    // An error condition on the descriptor shows up as room; the next write reports it.
    return ::poll(&descriptor, 1, -1) >= 0 || errno == EINTR ? RoomWait::room : RoomWait::fail;
  };
  return writeAll(data, writeSome, waitForRoom) == WriteAllOutcome::written;
}

bool writeAll(int fd, std::string_view text) {
  return writeAll(fd, std::as_bytes(std::span<const char>(text.data(), text.size())));
}

}  // namespace orvix
