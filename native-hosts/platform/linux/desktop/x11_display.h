#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/process_id.h"

namespace orvix::platform::linux_desktop {

// One connection to the X server, with the property reads the desktop binding shares. Xlib is
// not safe to share between threads without a lock, so every user of a connection holds its
// mutex; each part of the binding that works on its own thread opens a connection of its own.
//
// Other clients' windows may vanish between two requests: protocol errors are swallowed by a
// process-wide handler (the failed read answers "absent"), never allowed to end the process.
// Nor is the loss of the connection: Xlib would call exit() from whichever thread noticed it,
// in the middle of a command and with the program's output unflushed. Instead, every request on
// a lost connection fails, lost() turns true, and the handler given to onConnectionLost runs
// once so that the program can end in order.
class X11Display {
 public:
  // Null when no X server is reachable through DISPLAY.
  static std::unique_ptr<X11Display> open();
  // `handler` runs once, on the thread that first saw a connection fail; at most one handler is
  // kept, and one set after the loss runs at once.
  static void onConnectionLost(std::function<void()> handler);
  ~X11Display();
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  Display* get() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }
  std::mutex& lock() { return lock_; }
  Atom atom(const char* name);
  // The connection is gone: wait on nothing it reports (its descriptor stays readable).
  bool lost() const { return lost_.load(); }

  // A property of 32-bit items (CARDINAL, WINDOW, ATOM), at most `maximumItems` of them.
  std::optional<std::vector<unsigned long>> longs(Window window, Atom property, Atom type,
                                                  std::size_t maximumItems);
  std::optional<unsigned long> oneLong(Window window, const char* property, Atom type);
  // The process of the client that created `window`, else the window's _NET_WM_PID; absent
  // for the root window and when neither names one.
  //
  // The server's answer comes first: the X-Resource extension (1.2) names the process at the
  // other end of the owning client's local connection. _NET_WM_PID, which the client writes
  // itself, is only the fallback (a server without XRes, a client over TCP): a client may set
  // none, or a pid of its own PID namespace. Through ssh forwarding the owner is the local ssh
  // process.
  std::optional<ProcessId> windowPid(Window window);
  // The client's top-level window that `window` is, or lies in: the nearest ancestor-or-self
  // that carries WM_STATE (which a window manager puts on every client top-level, ICCCM 4.1.3.1)
  // or _NET_WM_PID; without a window manager, the top-level window itself. Absent for the root,
  // and for a window manager's own windows (frames, decorations, its menus).
  std::optional<Window> clientOf(Window window);
  // The client top-level that holds the keyboard focus (under pointer-root focus, the one
  // under the pointer), without a window manager's help.
  std::optional<Window> focusedClient();
  // The client top-level of the deepest window under the pointer: where a button goes.
  std::optional<Window> clientUnderPointer();
  // The window the window manager calls active, else the focused client.
  std::optional<Window> activeWindow();
  // The process of the active window; absent when there is none or it names none.
  std::optional<ProcessId> activePid();
  // Client windows bottom to top: the window manager's stacking list, else the root's children
  // that a client shows (or hides and names its process by) in the server's stacking order.
  std::vector<Window> clientsBottomToTop();
  bool viewable(Window window);
  // _NET_WM_NAME (UTF-8), else WM_NAME; absent when the window has neither (or one over 4 KiB).
  std::optional<std::string> windowTitle(Window window);
  // WM_CLASS: the instance and class names, absent when the window sets none (or a longer one
  // than any toolkit writes).
  std::optional<std::pair<std::string, std::string>> windowClass(Window window);

 private:
  // Whether a window manager holds the screen's WM_Sn selection (ICCCM 2.8).
  bool windowManagerRunning();
  std::optional<ProcessId> ownerPid(Window window);
  std::optional<ProcessId> declaredPid(Window window);

  std::once_flag clientIdsProbe_;
  bool clientIds_ = false;  // the server answers XResQueryClientIds
  explicit X11Display(Display* display) : display_(display) {}
  static void connectionLost(Display* display, void* self);
  Display* display_;
  std::mutex lock_;
  std::atomic<bool> lost_{false};
};

// No list the binding reads is allowed to grow past this many windows.
inline constexpr std::size_t kMaximumWindows = 4096;

}  // namespace orvix::platform::linux_desktop
