#pragma once

#include <optional>

#include "platform/process_id.h"

namespace orvix::platform {

// What the kernel tells about processes.
//
// Notes for implementers: may be called from any thread; answers are snapshots and a process may
// end right after.
class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;

  // The parent of `pid`, absent when the kernel gives no complete answer (no such process, no
  // access, a short read of the process record).
  virtual std::optional<ProcessId> parentProcessId(ProcessId pid) = 0;
  virtual bool isAlive(ProcessId pid) = 0;
  virtual ProcessId currentProcessId() = 0;
};

}  // namespace orvix::platform
