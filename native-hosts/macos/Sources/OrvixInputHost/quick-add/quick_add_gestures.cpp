// The gestures of the tapped events: classification and what each one does to the quick-add
// state.

#include "OrvixInputHost/quick-add/quick_add_gestures.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/event_line.h"
#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"

namespace orvix::input_host {

namespace {

constexpr std::int64_t keyCodeA = 0;
constexpr double selectionDragDistance = 8;

bool isSelectionNavigationKey(std::int64_t keyCode) {
  switch (keyCode) {
    case 115:  // Home
    case 116:  // Page Up
    case 119:  // End
    case 121:  // Page Down
    case 123:  // Left
    case 124:  // Right
    case 125:  // Down
    case 126:  // Up
      return true;
    default:
      return false;
  }
}

bool isModifierKey(std::int64_t keyCode) {
  switch (keyCode) {
    case 54:  // right Command
    case 55:  // Command
    case 56:  // Shift
    case 58:  // Option
    case 59:  // Control
    case 60:  // right Shift
    case 61:  // right Option
    case 62:  // right Control
      return true;
    default:
      return false;
  }
}

}  // namespace

QuickAddKeyGesture classifyQuickAddKey(std::int64_t keyCode, platform::EventFlags flags) {
  const bool command = (flags & platform::kEventFlagCommand) != 0;
  if ((flags & platform::kEventFlagShift) != 0 && isSelectionNavigationKey(keyCode)) {
    return QuickAddKeyGesture::keyboardSelection;
  }
  if (keyCode == keyCodeA && command) return QuickAddKeyGesture::selectAll;
  // Command-Shift-C and the like are other applications' shortcuts, not a copy.
  constexpr platform::EventFlags notCopy =
      platform::kEventFlagShift | platform::kEventFlagControl | platform::kEventFlagOption;
  if (keyCode == keyCodeC && command && (flags & notCopy) == 0) return QuickAddKeyGesture::copy;
  if (isModifierKey(keyCode)) return QuickAddKeyGesture::modifierKey;
  return QuickAddKeyGesture::otherKey;
}

std::int32_t eventTargetPid(const platform::InputEvent& event) {
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(event.integerField(platform::EventField::eventTargetUnixProcessID),
                               std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max()));
}

bool isPointerSelection(std::optional<platform::ScreenPoint> pressedAt,
                        platform::ScreenPoint releasedAt, std::int64_t clickState) {
  if (clickState >= 2) return true;
  if (!pressedAt) return false;
  const double distance = std::hypot(releasedAt.x - pressedAt->x, releasedAt.y - pressedAt->y);
  // A non-finite location is no evidence of a drag.
  return std::isfinite(distance) && distance >= selectionDragDistance;
}

void QuickAdd::handleEvent(std::uint32_t type, const platform::InputEvent& event) {
  if (type == platform::kEventTapDisabledByTimeout ||
      type == platform::kEventTapDisabledByUserInput) {
    // Events were lost while the tap was off: nothing pending can be trusted.
    invalidate();
    return;
  }
  // The host's own keys (a paste, a press of Return, its own Command-C) are not the user's.
  const std::int64_t mark = event.integerField(platform::EventField::eventSourceUserData);
  if (mark == quickAddCopyEventMark() || mark == helperKeyEventMark()) return;

  switch (static_cast<platform::EventType>(type)) {
    case platform::EventType::leftMouseDown:
      recordSelectionPointerDown(event);
      return;
    case platform::EventType::leftMouseUp:
      observeSelectionPointerUp(event);
      return;
    case platform::EventType::keyDown:
      break;
    default:
      return;
  }
  switch (classifyQuickAddKey(event.integerField(platform::EventField::keyboardEventKeycode),
                              event.flags())) {
    case QuickAddKeyGesture::keyboardSelection:
    case QuickAddKeyGesture::selectAll:
      selectionGesture(event);
      return;
    case QuickAddKeyGesture::copy:
      copyKey(event);
      return;
    case QuickAddKeyGesture::modifierKey:
      return;
    case QuickAddKeyGesture::otherKey:
      // Typing ends a selection, not a double copy in progress.
      invalidate(std::nullopt, false, true);
      return;
  }
}

void QuickAdd::copyKey(const platform::InputEvent& event) {
  const std::int64_t generation = invalidate(std::nullopt, true, true);
  const std::int32_t eventPid = eventTargetPid(event);
  const std::uint64_t copiedAt = clock_.uptimeNanoseconds();
  {
    std::lock_guard lock(quickAddLock_);
    if (generation_ != generation || clipboardWriteDepth_ != 0) return;
  }
  // Read without the lock: the pasteboard is another process's to answer.
  const std::int64_t changeCount = pasteboard_.changeCount();
  auto observation = std::make_shared<QuickAddCopyObservation>(eventPid, copiedAt, changeCount);
  {
    std::lock_guard lock(quickAddLock_);
    if (generation_ != generation || clipboardWriteDepth_ != 0) return;
    // Whatever the pasteboard shows from now on belongs to this press, not the one before.
    if (!pendingCopies_.empty()) pendingCopies_.back()->sealedChangeCount = changeCount;
    if (pendingCopies_.size() >= 2) {
      pendingCopies_.erase(pendingCopies_.begin());
      candidate_.reset();
      ++copyGeneration_;
    }
    pendingCopies_.push_back(observation);
  }
  emitObservation("copy-key");
  observationQueue_->async([this, observation] { observeExplicitCopy(observation, 0); });
  // The key moved the generation but kept the selection target: watch it under the new one.
  monitor(generation);
}

void QuickAdd::recordSelectionPointerDown(const platform::InputEvent& event) {
  invalidate(std::nullopt, false, true);
  std::lock_guard lock(quickAddLock_);
  selectionPointerDown_ = event.location();
}

void QuickAdd::observeSelectionPointerUp(const platform::InputEvent& event) {
  std::optional<platform::ScreenPoint> pressedAt;
  {
    std::lock_guard lock(quickAddLock_);
    pressedAt = selectionPointerDown_;
    selectionPointerDown_.reset();
  }
  if (isPointerSelection(pressedAt, event.location(),
                         event.integerField(platform::EventField::mouseEventClickState))) {
    selectionGesture(event);
  }
}

void QuickAdd::emitObservation(const char* stage) {
  output_.emit(makeEvent(schemaVersion, "vocabulary.quick-add.observation", {{"stage", stage}}));
}

}  // namespace orvix::input_host
