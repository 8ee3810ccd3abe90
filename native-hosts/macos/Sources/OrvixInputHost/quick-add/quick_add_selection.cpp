// Selection hints: a selection gesture names the window it happened in to the desktop
// application, which may later ask for a copy from it; the target is withdrawn as soon as that
// window is no longer in front, or after a minute.

#include <chrono>

#include "common/event_line.h"
#include "common/uuid.h"
#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/quick-add/quick_add_gestures.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"

namespace orvix::input_host {

namespace {

// A burst of Shift-arrow presses gives one resolution, not one per key: hints are at least this
// far apart, and the last gesture of a burst wins.
constexpr std::uint64_t selectionHintSpacingNanoseconds = 750'000'000;
constexpr Duration targetMonitorPeriod = std::chrono::milliseconds(100);

}  // namespace

void QuickAdd::selectionGesture(const platform::InputEvent& event) {
  const std::int32_t eventPid = eventTargetPid(event);
  // Withdraws any earlier target and makes any hint still waiting for its turn stale.
  const std::int64_t generation = invalidate(std::nullopt, false, true);
  const auto front = foreground_.frontWindow();
  if (!front) return;
  const ForegroundContext expected{front->pid, front->number, std::nullopt};
  Duration delay{0};
  {
    std::lock_guard lock(quickAddLock_);
    const std::uint64_t now = clock_.uptimeNanoseconds();
    const std::uint64_t elapsed = now > lastSelectionHintAt_ ? now - lastSelectionHintAt_ : 0;
    if (elapsed < selectionHintSpacingNanoseconds) {
      // Rounded up to whole milliseconds, so the next hint is never early.
      delay = std::chrono::milliseconds(
          (selectionHintSpacingNanoseconds + 999'999 - elapsed) / 1'000'000);
    }
  }
  observationQueue_->asyncAfter(delay, [this, generation, eventPid, expected] {
    hintSelection(generation, eventPid, expected);
  });
}

void QuickAdd::hintSelection(std::int64_t generation, ProcessId eventPid,
                             ForegroundContext expected) {
  if (!isCurrent(generation)) return;
  // Pointer gestures too: the desktop application groups them with the keyboard's.
  auto diagnostic = makeDiagnosticLog("keyboard", std::max(eventPid, 0));
  const auto focus = foreground_.focus(eventPid, expected, &diagnostic);
  if (!focus) return;
  {
    std::lock_guard lock(quickAddLock_);
    if (!enabled_ || !trusted_.load() || generation_ != generation) return;
    const std::string id = "selection-" + randomUuidText(LetterCase::lower);
    target_ = QuickAddTarget{id, focus->context, clock_.uptimeSeconds()};
    lastSelectionHintAt_ = clock_.uptimeNanoseconds();
    // Under quickAddLock, so no gesture can withdraw the target before it was announced.
    output_.emit(makeEvent(schemaVersion, "vocabulary.quick-add.selection-hint",
                           {{"eventId", id}, {"copyTargetId", id}}));
  }
  monitor(generation);
}

void QuickAdd::monitor(std::int64_t generation) {
  observationQueue_->asyncAfter(targetMonitorPeriod,
                                [this, generation] { checkTarget(generation); });
}

void QuickAdd::checkTarget(std::int64_t generation) {
  if (!isCurrent(generation)) return;
  std::optional<QuickAddTarget> target;
  {
    std::lock_guard lock(quickAddLock_);
    target = target_;
  }
  if (!target) return;
  const auto withdraw = [&] { invalidate(generation, false, true); };
  if (clock_.uptimeSeconds() - target->capturedAt >= quickAddTargetLifetimeSeconds) {
    withdraw();
    return;
  }
  const auto front = foreground_.frontWindow();
  if (!front || front->pid != target->context.pid || !target->context.windowNumber ||
      *target->context.windowNumber != front->number) {
    withdraw();
    return;
  }
  monitor(generation);
}

}  // namespace orvix::input_host
