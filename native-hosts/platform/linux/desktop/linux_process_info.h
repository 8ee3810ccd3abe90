#pragma once

#include <optional>
#include <string_view>

#include "platform/process_info.h"

namespace orvix::platform::linux_desktop {

// Process facts from the kernel's /proc file system.
class LinuxProcessInfo final : public ProcessInfo {
 public:
  std::optional<ProcessId> parentProcessId(ProcessId pid) override;
  bool isAlive(ProcessId pid) override;
  ProcessId currentProcessId() override;
};

// The parent pid field of a /proc/<pid>/stat record. The command name in it is chosen by the
// process and may hold spaces and parentheses, so the fields are read after its last ')'.
// Absent for a record that is cut short or malformed.
std::optional<ProcessId> parentFromStatRecord(std::string_view record);

}  // namespace orvix::platform::linux_desktop
