#pragma once

#include "platform/linux/desktop/x11_display.h"
#include "platform/window_list.h"

namespace orvix::platform::linux_desktop {

// The windows on screen, front to back, from the window manager's stacking list
// (_NET_CLIENT_LIST_STACKING, bottom to top, read backwards) or, without a window manager, from
// the root window's children in the server's stacking order. Only viewable windows count.
//
// Where the mapping is not one to one:
// - number: the X window id (ids fit in 29 bits, so they fit the 32-bit window number).
// - ownerPid: _NET_WM_PID, which the client sets itself; a window without it is listed with
//   pid 0, which the host never treats as an application's window.
// - layer: X has no window levels. A dock or panel (_NET_WM_WINDOW_TYPE_DOCK) gets 20 and a
//   window kept above the others (_NET_WM_STATE_ABOVE) gets 3, the levels macOS gives the Dock
//   and floating windows; everything else is 0, the document layer.
class X11WindowList final : public WindowList {
 public:
  explicit X11WindowList(std::unique_ptr<X11Display> display) : display_(std::move(display)) {}
  std::optional<std::vector<OnScreenWindow>> onScreenWindows() override;

 private:
  std::int64_t layerOf(Window window);
  std::unique_ptr<X11Display> display_;
};

}  // namespace orvix::platform::linux_desktop
