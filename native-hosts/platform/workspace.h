#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
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
  bool active = false;  // the application the system considers active
};

// NSWorkspace.OpenConfiguration, the three settings the host chooses.
struct OpenConfiguration {
  bool activates = true;
  bool addsToRecentItems = true;
  bool createsNewApplicationInstance = false;
};

// NSApplicationActivationOptions bits.
using ActivationOptions = unsigned;
inline constexpr ActivationOptions kActivateAllWindows = 1;
inline constexpr ActivationOptions kActivateIgnoringOtherApps = 2;

// The application an open gave, absent when it failed.
using OpenCompletion = std::function<void(std::optional<RunningApplication> application)>;

// The workspace (NSWorkspace.sharedWorkspace): which applications are installed and run, which
// is in front, and the requests that open, activate and unhide them.
//
// Notes for implementers: may be called from any thread; answers are snapshots. The completion
// of openApplication runs later, on the main run loop of the TimeSource the binding was given,
// so a caller on the main thread must run that loop to see it (NSWorkspace calls it on a queue
// of its own; the macOS binding hops to the main loop).
class Workspace {
 public:
  virtual ~Workspace() = default;

  virtual std::optional<RunningApplication> frontmostApplication() = 0;
  virtual std::vector<RunningApplication> runningApplications() = 0;
  // A fresh snapshot of one running application, absent when the workspace has none by that pid.
  virtual std::optional<RunningApplication> runningApplication(ProcessId pid) = 0;

  // Where the application with this bundle identifier is installed (URLForApplication...).
  virtual std::optional<std::string> applicationLocation(std::string_view bundleIdentifier) = 0;
  // Launches the application at `location`, or re-opens it when it already runs.
  virtual void openApplication(const std::string& location, const OpenConfiguration& configuration,
                               OpenCompletion completion) = 0;
  // NSRunningApplication activateWithOptions:; false when the system refused.
  virtual bool activate(ProcessId pid, ActivationOptions options) = 0;
  // NSRunningApplication unhide; false when the system refused.
  virtual bool unhide(ProcessId pid) = 0;
};

}  // namespace orvix::platform
