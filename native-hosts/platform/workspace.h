#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/process_id.h"

namespace orvix::platform {

// A running application as the workspace reports it (NSRunningApplication).
struct RunningApplication {
  ProcessId pid = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> localizedName;
  bool hidden = false;
  bool terminated = false;
};

// The workspace (NSWorkspace.sharedWorkspace): which applications run and which is in front.
//
// Notes for implementers: may be called from any thread; answers are snapshots.
class Workspace {
 public:
  virtual ~Workspace() = default;

  virtual std::optional<RunningApplication> frontmostApplication() = 0;
  virtual std::vector<RunningApplication> runningApplications() = 0;
};

}  // namespace orvix::platform
