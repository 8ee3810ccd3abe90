#include "platform/linux/desktop/x11_display.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace orvix::platform::linux_desktop {

namespace {

int ignoreProtocolError(Display*, XErrorEvent*) { return 0; }

}  // namespace

std::unique_ptr<X11Display> X11Display::open() {
  static std::once_flag setUp;
  std::call_once(setUp, [] {
    XInitThreads();
    XSetErrorHandler(ignoreProtocolError);
  });
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  return std::unique_ptr<X11Display>(new X11Display(display));
}

X11Display::~X11Display() { XCloseDisplay(display_); }

Atom X11Display::atom(const char* name) { return XInternAtom(display_, name, False); }

std::optional<std::vector<unsigned long>> X11Display::longs(Window window, Atom property,
                                                            Atom type, std::size_t maximumItems) {
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display_, window, property, 0,
                                        static_cast<long>(maximumItems), False, type, &actualType,
                                        &format, &count, &remaining, &data);
  if (status != Success || data == nullptr) return std::nullopt;
  std::optional<std::vector<unsigned long>> items;
  if (actualType == type && format == 32) {
    // Xlib hands 32-bit items back as longs, whatever the width of long.
    const auto* values = reinterpret_cast<const unsigned long*>(data);
    items.emplace(values, values + count);
  }
  XFree(data);
  return items;
}

std::optional<unsigned long> X11Display::oneLong(Window window, const char* property, Atom type) {
  const auto items = longs(window, atom(property), type, 1);
  if (!items || items->empty()) return std::nullopt;
  return items->front();
}

std::optional<ProcessId> X11Display::windowPid(Window window) {
  const auto pid = oneLong(window, "_NET_WM_PID", XA_CARDINAL);
  if (!pid || *pid == 0 || *pid > 0x7fffffffUL) return std::nullopt;
  return static_cast<ProcessId>(*pid);
}

std::optional<Window> X11Display::focusedClient() {
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display_, &focus, &revert);
  // Walk up from the focused window until one names its process: that is the client's
  // top-level window (a toolkit may focus a child of it).
  for (int depth = 0; depth < 64 && focus != None && focus != PointerRoot; ++depth) {
    if (focus == root()) return std::nullopt;
    if (windowPid(focus)) return focus;
    Window rootReturn = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display_, focus, &rootReturn, &parent, &children, &count) == 0) break;
    if (children) XFree(children);
    focus = parent;
  }
  return std::nullopt;
}

std::optional<Window> X11Display::activeWindow() {
  const auto active = oneLong(root(), "_NET_ACTIVE_WINDOW", XA_WINDOW);
  if (active && *active != None) return static_cast<Window>(*active);
  return focusedClient();
}

bool X11Display::viewable(Window window) {
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display_, window, &attributes) == 0) return false;
  return attributes.map_state == IsViewable;
}

std::vector<Window> X11Display::clientsBottomToTop() {
  if (auto stacking = longs(root(), atom("_NET_CLIENT_LIST_STACKING"), XA_WINDOW, kMaximumWindows)) {
    return {stacking->begin(), stacking->end()};
  }
  std::vector<Window> clients;
  Window rootReturn = None;
  Window parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display_, root(), &rootReturn, &parent, &children, &count) == 0) return clients;
  for (unsigned int i = 0; i < count && clients.size() < kMaximumWindows; ++i) {
    clients.push_back(children[i]);
  }
  if (children) XFree(children);
  return clients;
}

}  // namespace orvix::platform::linux_desktop
