#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "common/time/time_source.h"
#include "platform/linux/desktop/desktop_entries.h"
#include "platform/linux/desktop/linux_process_info.h"
#include "platform/linux/desktop/x11_display.h"
#include "platform/workspace.h"

namespace orvix::platform::linux_desktop {

// The workspace as the window manager's hints and the freedesktop desktop entries show it.
//
// Where the mapping is not one to one:
// - An application is a process that owns a top-level window (_NET_CLIENT_LIST, else the
//   root's children, through _NET_WM_PID). A process without windows is not listed.
// - The frontmost application owns _NET_ACTIVE_WINDOW (without a window manager: the client
//   that holds the keyboard focus). "hidden" means none of its windows is viewable.
// - Desktop entries stand in for bundles (see DesktopEntries for GIO's search and rules). An
//   entry's bundle identifier is its X-Orvix-Bundle-Identifier key, else its desktop-file ID
//   without ".desktop" (freedesktop recommends reverse-DNS IDs, as bundle identifiers are): a
//   user maps an application whose entry has another name by a local entry carrying the key.
//   An entry with both an ID and a key answers to the key only. applicationLocation answers
//   the entry's file, preferring the entry whose ID is "<identifier>.desktop".
// - A running application has an entry's bundle identifier when this workspace launched it
//   for that entry, or when the WM_CLASS (instance or class) of its lowest window in the
//   stacking order equals the entry's StartupWMClass, or, for an entry without one, the
//   entry's ID without ".desktop" (GApplication programs put their application id there). Its name is then the entry's Name,
//   else its process name (/proc/<pid>/comm).
// - openApplication launches the entry through GIO with /dev/null for standard input, output
//   and error, and completes on the main loop once the launched process shows a top-level
//   window (for a launcher that hands over to another process, or an entry GIO starts by
//   D-Bus activation: once an application with the entry's identifier does), nullopt when the
//   launch fails or nothing shows up within 10 s (the process itself when it still runs
//   without a window then). "Activates" cannot keep a new window from taking the focus, and
//   "adds to recent items" has no counterpart. Unless a new instance is asked for, an
//   application with the entry's identifier that already runs (or that this workspace
//   launched and that has no window yet) is activated, or waited for, instead.
// - activate and unhide ask the window manager to activate the application's topmost window
//   (_NET_ACTIVE_WINDOW client message, which also de-iconifies it); false when it has none.
class X11Workspace final : public Workspace {
 public:
  // Open completions run on `time`'s main loop, which must outlive this workspace.
  X11Workspace(std::unique_ptr<X11Display> display, TimeSource& time)
      : display_(std::move(display)), time_(time) {}
  ~X11Workspace() override;

  std::optional<RunningApplication> frontmostApplication() override;
  std::vector<RunningApplication> runningApplications() override;
  std::optional<RunningApplication> runningApplication(ProcessId pid) override;
  std::optional<std::string> applicationLocation(std::string_view bundleIdentifier) override;
  void openApplication(const std::string& location, const OpenConfiguration& configuration,
                       OpenCompletion completion) override;
  bool activate(ProcessId pid, ActivationOptions options) override;
  // Activates the application's window with this title (the one an accessibility client
  // means), else its topmost window.
  bool activateWindow(ProcessId pid, std::string_view title);
  bool unhide(ProcessId pid) override { return activate(pid, 0); }

 private:
  struct PendingOpen;

  // Every application with a client window, or only the one of `only`.
  std::vector<RunningApplication> applicationsLocked(std::optional<ProcessId> only = std::nullopt);
  std::optional<DesktopEntry> entryOf(ProcessId pid, Window window);
  std::optional<ProcessId> launchedWithoutWindow(const std::string& bundleIdentifier);
  void remember(ProcessId pid, const DesktopEntry& entry);
  void waitForWindow(std::shared_ptr<PendingOpen> open);
  void check(const std::shared_ptr<PendingOpen>& open);
  void completeLater(OpenCompletion completion, std::optional<RunningApplication> application);

  std::unique_ptr<X11Display> display_;
  TimeSource& time_;
  DesktopEntries entries_;
  LinuxProcessInfo processes_;

  std::mutex launchesLock_;  // taken after the display's lock, never before it
  std::map<ProcessId, DesktopEntry> launched_;
  std::vector<TimerHandle> pendingChecks_;
};

}  // namespace orvix::platform::linux_desktop
