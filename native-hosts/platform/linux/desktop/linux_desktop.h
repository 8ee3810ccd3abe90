#pragma once

#include <memory>

#include "common/time/time_source.h"

#include "platform/desktop.h"
#include "platform/linux/desktop/linux_process_info.h"
#include "platform/linux/desktop/linux_workspace.h"
#include "platform/linux/desktop/unavailable_accessibility.h"
#include "platform/linux/desktop/unavailable_input_events.h"
#include "platform/linux/desktop/unavailable_pasteboard.h"
#include "platform/linux/desktop/unavailable_window_list.h"

namespace orvix::platform::linux_desktop {

// The desktop as this Linux machine offers it to the input host. With an X server behind
// DISPLAY (an X11 session, or XWayland's, which serves only XWayland applications): XTest
// input and an XInput 2 tap, the CLIPBOARD selection, the window manager's view of windows and
// applications (with desktop entries for the installed ones), and AT-SPI accessibility.
// Without one, or where the server lacks an extension, that part answers "unavailable"
// honestly. Process facts always come from /proc.
class LinuxDesktop {
 public:
  // Workspace completions run on `time`'s main loop, which must outlive this desktop.
  explicit LinuxDesktop(TimeSource& time);
  ~LinuxDesktop();

  Desktop desktop();

 private:
  UnavailableAccessibility unavailableAccessibility_;
  UnavailableInputEvents unavailableInputEvents_;
  LinuxWorkspace unavailableWorkspace_;
  UnavailablePasteboard unavailablePasteboard_;
  UnavailableWindowList unavailableWindowList_;
  LinuxProcessInfo processInfo_;

  std::unique_ptr<Workspace> workspace_;
  std::unique_ptr<Accessibility> accessibility_;
  // Before the input events, which use it in terminals, so that it outlives them.
  std::unique_ptr<Pasteboard> pasteboard_;
  std::unique_ptr<InputEvents> inputEvents_;
  std::unique_ptr<WindowList> windowList_;
};

}  // namespace orvix::platform::linux_desktop
