#pragma once

#include "platform/workspace.h"

namespace orvix::platform::linux_desktop {

// No desktop session the host could ask: no application is in front, none is listed and none
// is installed, so nothing can be opened, activated or unhidden.
class LinuxWorkspace final : public Workspace {
 public:
  std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
  std::vector<RunningApplication> runningApplications() override { return {}; }
  std::optional<RunningApplication> runningApplication(ProcessId) override { return std::nullopt; }
  std::optional<std::string> applicationLocation(std::string_view) override { return std::nullopt; }
  // No location is ever answered, so no caller reaches this with one; an open of anything
  // fails at once (there is no loop here to defer the answer to).
  void openApplication(const std::string&, const OpenConfiguration&,
                       OpenCompletion completion) override {
    if (completion) completion(std::nullopt);
  }
  bool activate(ProcessId, ActivationOptions) override { return false; }
  bool unhide(ProcessId) override { return false; }
};

}  // namespace orvix::platform::linux_desktop
