#include "platform/linux/desktop/x11_display.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

#include <string>
#include <string_view>

namespace orvix::platform::linux_desktop {

namespace {

int ignoreProtocolError(Display*, XErrorEvent*) { return 0; }

// Returning lets Xlib go on to the connection's exit handler (connectionLost), which returns too:
// the request in flight then fails like any other.
int connectionBroken(Display*) { return 0; }

struct LostConnection {
  std::mutex lock;
  std::function<void()> handler;
  bool happened = false;
};

LostConnection& lostConnection() {
  static LostConnection shared;
  return shared;
}

struct XFreeDeleter {
  void operator()(unsigned char* data) const { XFree(data); }
};

struct PropertyValue {
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;  // bytes left unread past the limit
  std::unique_ptr<unsigned char, XFreeDeleter> data;
};

// At most `maximumLongs` 32-bit units of the property, absent unless it has the type asked for.
std::optional<PropertyValue> read(Display* display, Window window, Atom property, Atom type,
                                  long maximumLongs) {
  Atom actualType = None;
  PropertyValue value;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display, window, property, 0, maximumLongs, False, type,
                                        &actualType, &value.format, &value.count,
                                        &value.remaining, &data);
  value.data.reset(data);
  if (status != Success || data == nullptr || actualType != type) return std::nullopt;
  return value;
}

}  // namespace

std::unique_ptr<X11Display> X11Display::open() {
  static std::once_flag setUp;
  std::call_once(setUp, [] {
    XInitThreads();
    XSetErrorHandler(ignoreProtocolError);
    XSetIOErrorHandler(connectionBroken);
  });
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  auto opened = std::unique_ptr<X11Display>(new X11Display(display));
  XSetIOErrorExitHandler(display, &X11Display::connectionLost, opened.get());
  return opened;
}

void X11Display::connectionLost(Display*, void* self) {
  static_cast<X11Display*>(self)->lost_ = true;
  std::function<void()> handler;
  {
    auto& lost = lostConnection();
    std::lock_guard guard(lost.lock);
    if (lost.happened) return;
    lost.happened = true;
    handler = std::move(lost.handler);
  }
  if (handler) handler();
}

void X11Display::onConnectionLost(std::function<void()> handler) {
  auto& lost = lostConnection();
  {
    std::lock_guard guard(lost.lock);
    if (!lost.happened) {
      lost.handler = std::move(handler);
      return;
    }
  }
  if (handler) handler();
}

X11Display::~X11Display() {
  // Xlib may still count a request in flight on a lost connection, and closing it would wait for
  // that reply forever; its memory goes with the process, which is ending.
  if (!lost_) XCloseDisplay(display_);
}

Atom X11Display::atom(const char* name) { return XInternAtom(display_, name, False); }

std::optional<std::vector<unsigned long>> X11Display::longs(Window window, Atom property,
                                                            Atom type, std::size_t maximumItems) {
  const auto value = read(display_, window, property, type, static_cast<long>(maximumItems));
  if (!value || value->format != 32) return std::nullopt;
  // Xlib hands 32-bit items back as longs, whatever the width of long.
  const auto* items = reinterpret_cast<const unsigned long*>(value->data.get());
  return std::vector<unsigned long>(items, items + value->count);
}

std::optional<unsigned long> X11Display::oneLong(Window window, const char* property, Atom type) {
  const auto items = longs(window, atom(property), type, 1);
  if (!items || items->empty()) return std::nullopt;
  return items->front();
}

std::optional<ProcessId> X11Display::windowPid(Window window) {
  if (window == None || window == root()) return std::nullopt;
  if (auto owner = ownerPid(window)) return owner;
  return declaredPid(window);
}

std::optional<ProcessId> X11Display::ownerPid(Window window) {
  std::call_once(clientIdsProbe_, [this] {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    clientIds_ = XResQueryExtension(display_, &eventBase, &errorBase) &&
                 XResQueryVersion(display_, &major, &minor) != 0 &&
                 (major > 1 || (major == 1 && minor >= 2));
  });
  if (!clientIds_) return std::nullopt;
  // The server looks up the client from the XID's client bits; the window must not be None,
  // which would ask for every client.
  XResClientIdSpec spec{window, XRES_CLIENT_ID_PID_MASK};
  long count = 0;
  XResClientIdValue* ids = nullptr;
  if (XResQueryClientIds(display_, 1, &spec, &count, &ids) != Success) return std::nullopt;
  std::optional<ProcessId> pid;
  for (long i = 0; i < count && !pid; ++i) {
    // -1 for a client whose connection carries no credentials (TCP).
    const pid_t owner = XResGetClientPid(&ids[i]);
    if (owner > 0) pid = static_cast<ProcessId>(owner);
  }
  XResClientIdsDestroy(count, ids);
  return pid;
}

std::optional<ProcessId> X11Display::declaredPid(Window window) {
  const auto pid = oneLong(window, "_NET_WM_PID", XA_CARDINAL);
  if (!pid || *pid == 0 || *pid > 0x7fffffffUL) return std::nullopt;
  return static_cast<ProcessId>(*pid);
}

bool X11Display::windowManagerRunning() {
  const std::string selection = "WM_S" + std::to_string(DefaultScreen(display_));
  return XGetSelectionOwner(display_, atom(selection.c_str())) != None;
}

std::optional<Window> X11Display::clientOf(Window window) {
  const Atom wmState = atom("WM_STATE");
  // Walk up from the window (a toolkit may focus or draw in a child of its top-level) to the
  // first that a window manager marked as a client's, or that names its process.
  for (int depth = 0; depth < 64 && window != None; ++depth) {
    if (window == root()) return std::nullopt;
    if (longs(window, wmState, wmState, 1) || declaredPid(window)) return window;
    Window rootReturn = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display_, window, &rootReturn, &parent, &children, &count) == 0) break;
    if (children) XFree(children);
    // A top-level window without either: the client's own where no window manager reparents
    // clients, else one of the window manager's.
    if (parent == root()) {
      if (windowManagerRunning()) return std::nullopt;
      return window;
    }
    window = parent;
  }
  return std::nullopt;
}

std::optional<Window> X11Display::focusedClient() {
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display_, &focus, &revert);
  if (focus == PointerRoot) return clientUnderPointer();
  return clientOf(focus);
}

std::optional<Window> X11Display::clientUnderPointer() {
  Window window = root();
  for (int depth = 0; depth < 64; ++depth) {
    Window rootReturn = None, child = None;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display_, window, &rootReturn, &child, &rootX, &rootY, &x, &y, &mask) ||
        child == None) {
      break;
    }
    window = child;
  }
  return clientOf(window);
}

std::optional<Window> X11Display::activeWindow() {
  const auto active = oneLong(root(), "_NET_ACTIVE_WINDOW", XA_WINDOW);
  if (active && *active != None) return static_cast<Window>(*active);
  return focusedClient();
}

std::optional<ProcessId> X11Display::activePid() {
  const auto window = activeWindow();
  return window ? windowPid(*window) : std::nullopt;
}

bool X11Display::viewable(Window window) {
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display_, window, &attributes) == 0) return false;
  return attributes.map_state == IsViewable;
}

std::optional<std::string> X11Display::windowTitle(Window window) {
  constexpr long kMaximumLongs = 1024;
  for (const auto& [property, type] : {std::pair{atom("_NET_WM_NAME"), atom("UTF8_STRING")},
                                       std::pair{Atom{XA_WM_NAME}, Atom{XA_STRING}}}) {
    const auto value = read(display_, window, property, type, kMaximumLongs);
    if (!value || value->format != 8 || value->remaining != 0) continue;
    return std::string(reinterpret_cast<const char*>(value->data.get()), value->count);
  }
  return std::nullopt;
}

std::optional<std::pair<std::string, std::string>> X11Display::windowClass(Window window) {
  constexpr long kMaximumLongs = 128;  // 512 bytes for both names
  const auto value = read(display_, window, XA_WM_CLASS, XA_STRING, kMaximumLongs);
  if (!value || value->format != 8 || value->remaining != 0) return std::nullopt;
  // Two NUL-terminated strings, instance then class; a missing terminator ends the value.
  const std::string_view text(reinterpret_cast<const char*>(value->data.get()), value->count);
  const std::size_t split = text.find('\0');
  std::string_view windowClass = split == std::string_view::npos ? "" : text.substr(split + 1);
  windowClass = windowClass.substr(0, windowClass.find('\0'));
  return std::pair{std::string(text.substr(0, split)), std::string(windowClass)};
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
  // Without a window manager's list: the top-level windows a client shows, and the hidden ones
  // that name their process. Every window has an owner, so without this the helper windows of
  // any client (a clipboard owner, a toolkit's group leader) would make it an application.
  for (unsigned int i = 0; i < count && clients.size() < kMaximumWindows; ++i) {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display_, children[i], &attributes) == 0 ||
        attributes.override_redirect || attributes.c_class != InputOutput) {
      continue;
    }
    if (attributes.map_state == IsViewable || declaredPid(children[i])) clients.push_back(children[i]);
  }
  if (children) XFree(children);
  return clients;
}

}  // namespace orvix::platform::linux_desktop
