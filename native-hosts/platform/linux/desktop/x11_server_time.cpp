#include "platform/linux/desktop/x11_server_time.h"

#include <X11/Xatom.h>

namespace orvix::platform::linux_desktop {

namespace {

struct PropertyMatch {
  Window window;
  Atom property;
};

Bool isPropertyStamp(Display*, XEvent* event, XPointer argument) {
  const auto* match = reinterpret_cast<const PropertyMatch*>(argument);
  return event->type == PropertyNotify && event->xproperty.window == match->window &&
         event->xproperty.atom == match->property && event->xproperty.state == PropertyNewValue;
}

}  // namespace

Time serverTime(Display* display, Window window, Atom property) {
  const unsigned char nothing[4] = {};
  XChangeProperty(display, window, property, XA_INTEGER, 32, PropModeAppend, nothing, 0);
  // The reply comes after the event, so the event is queued once this returns.
  XSync(display, False);
  XEvent event;
  PropertyMatch match{window, property};
  if (XCheckIfEvent(display, &event, isPropertyStamp, reinterpret_cast<XPointer>(&match))) {
    return event.xproperty.time;
  }
  return CurrentTime;
}

}  // namespace orvix::platform::linux_desktop
