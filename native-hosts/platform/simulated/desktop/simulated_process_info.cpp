#include "platform/simulated/desktop/simulated_process_info.h"

namespace orvix::platform::simulated {

std::optional<ProcessId> SimulatedProcessInfo::parentProcessId(ProcessId pid) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.processQueries;
  const auto it = world.processes.find(pid);
  if (it == world.processes.end() || !it->second.alive || it->second.parentReadFails) {
    return std::nullopt;
  }
  return it->second.parent;
}

bool SimulatedProcessInfo::isAlive(ProcessId pid) {
  std::lock_guard lock(model_.mutex);
  ++model_.world.counters.processQueries;
  return model_.world.processAlive(pid);
}

ProcessId SimulatedProcessInfo::currentProcessId() {
  std::lock_guard lock(model_.mutex);
  return model_.world.currentProcess;
}

}  // namespace orvix::platform::simulated
