#pragma once

#include <cstdint>

namespace orvix::platform {

// A process id as the system hands it out (pid_t on every platform we build for).
using ProcessId = std::int32_t;

}  // namespace orvix::platform
