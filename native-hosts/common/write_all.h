#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

namespace orvix {

// What one write call did: the bytes it accepted, or the errno value of its failure.
struct WriteCall {
  long count = 0;
  int error = 0;  // 0 on success
};

// What a caller that waited for a full descriptor found.
enum class RoomWait {
  room,  // write again
  stop,  // something else asked the writer to give up (the bytes so far stay written)
  fail,  // waiting itself failed
};

enum class WriteAllOutcome { written, stopped, failed };

// Writes every byte through `writeSome`: a partial write is continued and an interrupted call
// repeated, so a pipe that takes a few bytes at a time or a signal never cuts the output short.
// A full non-blocking descriptor (EAGAIN) is handed to `waitForRoom` instead of being retried in
// a spin. Any other error, or a write that moves nothing (which would repeat for ever), fails.
WriteAllOutcome writeAll(std::span<const std::byte> data,
                         const std::function<WriteCall(std::span<const std::byte>)>& writeSome,
                         const std::function<RoomWait()>& waitForRoom);

// The usual case: write(2) on `fd`, waiting on a full one with poll(2). False when the
// descriptor refused the bytes (the reader went away, the disk is full); what went out before
// stays written.
bool writeAll(int fd, std::span<const std::byte> data);
bool writeAll(int fd, std::string_view text);

}  // namespace orvix
