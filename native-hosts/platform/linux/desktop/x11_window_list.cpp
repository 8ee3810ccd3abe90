#include "platform/linux/desktop/x11_window_list.h"

#include <X11/Xatom.h>

#include <algorithm>

namespace orvix::platform::linux_desktop {

namespace {
constexpr std::int64_t kDockLayer = 20;
constexpr std::int64_t kFloatingLayer = 3;
constexpr std::size_t kMaximumHints = 32;

bool contains(const std::optional<std::vector<unsigned long>>& items, Atom atom) {
  return items && std::find(items->begin(), items->end(), atom) != items->end();
}
}  // namespace

std::int64_t X11WindowList::layerOf(Window window) {
  const auto types = display_->longs(window, display_->atom("_NET_WM_WINDOW_TYPE"), XA_ATOM,
                                     kMaximumHints);
  if (contains(types, display_->atom("_NET_WM_WINDOW_TYPE_DOCK"))) return kDockLayer;
  const auto states = display_->longs(window, display_->atom("_NET_WM_STATE"), XA_ATOM,
                                      kMaximumHints);
  if (contains(states, display_->atom("_NET_WM_STATE_ABOVE"))) return kFloatingLayer;
  return 0;
}

std::optional<std::vector<OnScreenWindow>> X11WindowList::onScreenWindows() {
  std::lock_guard guard(display_->lock());
  const auto clients = display_->clientsBottomToTop();
  std::vector<OnScreenWindow> windows;
  for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
    if (!display_->viewable(*it)) continue;
    windows.push_back(OnScreenWindow{display_->windowPid(*it).value_or(0),
                                     static_cast<std::uint32_t>(*it), layerOf(*it)});
  }
  return windows;
}

}  // namespace orvix::platform::linux_desktop
