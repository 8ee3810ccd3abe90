#pragma once

#include "platform/linux/desktop/x11_display.h"
#include "platform/workspace.h"

namespace orvix::platform::linux_desktop {

// The workspace as the window manager's hints show it.
//
// Where the mapping is not one to one:
// - An application is a process that owns a top-level window (_NET_CLIENT_LIST, else the
//   root's children, through _NET_WM_PID); its name is its process name (/proc/<pid>/comm).
//   A process without windows is not listed.
// - The frontmost application owns _NET_ACTIVE_WINDOW (without a window manager: the client
//   that holds the keyboard focus). "hidden" means none of its windows is viewable.
// - Bundle identifiers have no Linux meaning: none is reported, and every identifier is "not
//   installed", so nothing is opened.
// - activate and unhide ask the window manager to activate the application's topmost window
//   (_NET_ACTIVE_WINDOW client message, which also de-iconifies it); false when it has none.
class X11Workspace final : public Workspace {
 public:
  explicit X11Workspace(std::unique_ptr<X11Display> display) : display_(std::move(display)) {}

  std::optional<RunningApplication> frontmostApplication() override;
  std::vector<RunningApplication> runningApplications() override;
  std::optional<RunningApplication> runningApplication(ProcessId pid) override;
  std::optional<std::string> applicationLocation(std::string_view) override { return std::nullopt; }
  void openApplication(const std::string&, const OpenConfiguration&,
                       OpenCompletion completion) override {
    if (completion) completion(std::nullopt);
  }
  bool activate(ProcessId pid, ActivationOptions options) override;
  bool unhide(ProcessId pid) override { return activate(pid, 0); }

 private:
  std::vector<RunningApplication> applicationsLocked();
  std::unique_ptr<X11Display> display_;
};

}  // namespace orvix::platform::linux_desktop
