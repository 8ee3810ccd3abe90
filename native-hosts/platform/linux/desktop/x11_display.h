#pragma once

#include <X11/Xlib.h>

#include <cstddef>
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
class X11Display {
 public:
  // Null when no X server is reachable through DISPLAY.
  static std::unique_ptr<X11Display> open();
  ~X11Display();
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  Display* get() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }
  std::mutex& lock() { return lock_; }
  Atom atom(const char* name);

  // A property of 32-bit items (CARDINAL, WINDOW, ATOM), at most `maximumItems` of them.
  std::optional<std::vector<unsigned long>> longs(Window window, Atom property, Atom type,
                                                  std::size_t maximumItems);
  std::optional<unsigned long> oneLong(Window window, const char* property, Atom type);
  // _NET_WM_PID, absent when the window does not name its process.
  std::optional<ProcessId> windowPid(Window window);
  // The top-level client window that holds the keyboard focus, without a window manager's help.
  std::optional<Window> focusedClient();
  // The window the window manager calls active, else the focused client.
  std::optional<Window> activeWindow();
  // The process of the active window; absent when there is none or it names none.
  std::optional<ProcessId> activePid();
  // Client windows bottom to top: the window manager's stacking list, else the root's mapped
  // children in the server's stacking order.
  std::vector<Window> clientsBottomToTop();
  bool viewable(Window window);
  // WM_CLASS: the instance and class names, absent when the window sets none (or a longer one
  // than any toolkit writes).
  std::optional<std::pair<std::string, std::string>> windowClass(Window window);

 private:
  explicit X11Display(Display* display) : display_(display) {}
  Display* display_;
  std::mutex lock_;
};

// No list the binding reads is allowed to grow past this many windows.
inline constexpr std::size_t kMaximumWindows = 4096;

}  // namespace orvix::platform::linux_desktop
