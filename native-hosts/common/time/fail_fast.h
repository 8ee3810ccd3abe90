#pragma once

#include <string_view>

namespace orvix {

// Stops the process with a message on standard error. Used for misuse that would otherwise
// hang or corrupt state silently (a queue syncing onto itself, a virtual-time deadlock), and
// kept in release builds because a hang in a helper process is worse than a crash report.
[[noreturn]] void failFast(std::string_view message);

inline void requireOrFail(bool condition, std::string_view message) {
  if (!condition) failFast(message);
}

}  // namespace orvix
