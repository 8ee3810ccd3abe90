// The window server's side of the simulated desktop: which windows are on screen in which
// order, and what applications put on the pasteboard when Command-C reaches them.

#include <algorithm>

#include "platform/simulated/desktop/desktop_world.h"
#include "platform/simulated/desktop/utf16_text.h"

namespace orvix::platform::simulated {

namespace {

constexpr std::int64_t kKeyCodeC = 8;
constexpr EventFlags kCopyBlockingFlags = kEventFlagShift | kEventFlagControl | kEventFlagOption;

}  // namespace

std::vector<OnScreenWindow> DesktopWorld::onScreenWindows() {
  std::vector<OnScreenWindow> windows;
  for (const OverlayWindow& overlay : overlays) {
    if (processAlive(overlay.pid)) windows.push_back({overlay.pid, overlay.number, overlay.layer});
  }
  for (const ElementId id : windowStack) {
    const ElementState* window = element(id);
    if (window == nullptr || !elementAlive(*window)) continue;
    const ApplicationState* app = applicationOwning(id);
    if (app == nullptr || app->terminated || app->hidden) continue;
    windows.push_back({app->pid, window->windowNumber, 0});
  }
  return windows;
}

void DesktopWorld::raiseWindows(ProcessId pid, ElementId window) {
  // Stable: the application's windows keep their order among themselves, then `window` leads.
  std::stable_partition(windowStack.begin(), windowStack.end(), [&](ElementId id) {
    const ApplicationState* app = applicationOwning(id);
    return app != nullptr && app->pid == pid;
  });
  const auto raised = std::find(windowStack.begin(), windowStack.end(), window);
  if (raised != windowStack.end()) std::rotate(windowStack.begin(), raised, raised + 1);
}

std::optional<DesktopWorld::PendingCopy> DesktopWorld::copyKeystroke() {
  if (!focusedApplication) return std::nullopt;
  const ApplicationState* app = application(*focusedApplication);
  const ElementState* focused = element(focusedElement());
  if (app == nullptr || app->terminated || focused == nullptr || !elementAlive(*focused) ||
      focused->kind == ElementKind::secureTextField || !focused->selectedRange) {
    return std::nullopt;
  }
  std::string text = selectedText(focused->value.value_or(""), *focused->selectedRange);
  if (text.empty()) return std::nullopt;
  PendingCopy copy{std::move(text), 1, app->copy.delay};
  switch (app->copy.writes) {
    case CopyWrites::nothing:
      return std::nullopt;
    case CopyWrites::selectionTwice:
      copy.changes = 2;
      break;
    case CopyWrites::unlessUnchanged:
      // Decided when the key arrives, as such an application compares before it writes.
      if (pasteboard.text == copy.text) return std::nullopt;
      break;
    case CopyWrites::selection:
      break;
  }
  if (copy.delay > Duration::zero()) return copy;
  applyCopy(copy);
  return std::nullopt;
}

void DesktopWorld::applyCopy(const PendingCopy& copy) {
  pasteboard.changeCount += copy.changes;
  pasteboard.text = copy.text;
  pasteboard.heldByHost = false;
}

bool isCopyKeystroke(const InputEvent& event) {
  return event.type() == EventType::keyDown &&
         event.integerField(EventField::keyboardEventKeycode) == kKeyCodeC &&
         (event.flags() & kEventFlagCommand) != 0 && (event.flags() & kCopyBlockingFlags) == 0;
}

void applyKeystroke(DesktopModel& model, const InputEvent& event) {
  if (!isCopyKeystroke(event)) return;
  auto late = model.world.copyKeystroke();
  if (!late || !model.schedule) return;
  model.schedule(late->delay, [&model, copy = std::move(*late)] {
    std::lock_guard lock(model.mutex);
    model.world.applyCopy(copy);
  });
}

}  // namespace orvix::platform::simulated
