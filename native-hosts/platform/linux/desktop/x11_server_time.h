#pragma once

#include <X11/Xlib.h>

namespace orvix::platform::linux_desktop {

// The server's time now, as ICCCM asks clients to get it: a zero-length append to `property` of
// `window`, a window of the caller's own that selects PropertyChangeMask, whose PropertyNotify
// the server stamps. CurrentTime when the stamp did not come back.
Time serverTime(Display* display, Window window, Atom property);

}  // namespace orvix::platform::linux_desktop
