#pragma once

#include "platform/process_info.h"
#include "platform/simulated/desktop/desktop_world.h"

namespace orvix::platform::simulated {

// The process table of the simulated desktop.
class SimulatedProcessInfo final : public ProcessInfo {
 public:
  explicit SimulatedProcessInfo(DesktopModel& model) : model_(model) {}

  std::optional<ProcessId> parentProcessId(ProcessId pid) override;
  bool isAlive(ProcessId pid) override;
  ProcessId currentProcessId() override;

 private:
  DesktopModel& model_;
};

}  // namespace orvix::platform::simulated
