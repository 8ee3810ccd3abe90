#include "platform/linux/desktop/linux_desktop.h"

#include "platform/linux/desktop/atspi_accessibility.h"
#include "platform/linux/desktop/x11_pasteboard.h"
#include "platform/linux/desktop/x11_window_list.h"
#include "platform/linux/desktop/x11_workspace.h"
#include "platform/linux/desktop/xtest_input_events.h"

namespace orvix::platform::linux_desktop {

LinuxDesktop::LinuxDesktop(TimeSource& time) {
  // Each part opens its own connection: they are used from different threads, and one part's
  // slow request must not hold up another's.
  auto probe = X11Display::open();
  if (!probe) return;
  auto workspace = std::make_unique<X11Workspace>(X11Display::open(), time);
  X11Workspace* raiser = workspace.get();
  workspace_ = std::move(workspace);
  auto accessibility = std::make_unique<AtspiAccessibility>(
      std::move(probe),
      [raiser](ProcessId pid, std::string_view title) { return raiser->activateWindow(pid, title); });
  TerminalSupport terminals;
  terminals.focusIsTerminal = [atspi = accessibility.get()] { return atspi->focusIsTerminal(); };
  accessibility_ = std::move(accessibility);
  auto pasteboard = X11Pasteboard::create(X11Display::open(), X11Display::open());
  if (X11Pasteboard* clipboard = pasteboard.get()) {
    terminals.copyPrimaryToClipboard = [clipboard] { return clipboard->copyPrimaryToClipboard(); };
    terminals.offerClipboardAsPrimary = [clipboard] { return clipboard->offerClipboardAsPrimary(); };
  }
  pasteboard_ = std::move(pasteboard);
  inputEvents_ = XTestInputEvents::create(X11Display::open(), std::make_shared<PostedEventMarks>(),
                                          std::move(terminals));
  if (auto display = X11Display::open()) windowList_ = std::make_unique<X11WindowList>(std::move(display));
}

LinuxDesktop::~LinuxDesktop() = default;

Desktop LinuxDesktop::desktop() {
  return Desktop{
      accessibility_ ? *accessibility_ : static_cast<Accessibility&>(unavailableAccessibility_),
      inputEvents_ ? *inputEvents_ : static_cast<InputEvents&>(unavailableInputEvents_),
      workspace_ ? *workspace_ : static_cast<Workspace&>(unavailableWorkspace_),
      pasteboard_ ? *pasteboard_ : static_cast<Pasteboard&>(unavailablePasteboard_),
      processInfo_,
      windowList_ ? *windowList_ : static_cast<WindowList&>(unavailableWindowList_)};
}

}  // namespace orvix::platform::linux_desktop
