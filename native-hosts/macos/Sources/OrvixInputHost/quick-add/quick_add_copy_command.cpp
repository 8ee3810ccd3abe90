// "vocabulary.quick-add.copy": the host sends Command-C to the selection target itself and
// answers with the text it copied. Every step re-checks that the target, the window and the
// pasteboard are still what they were; anything else ends in "unavailable".

#include <algorithm>
#include <chrono>

#include "common/event_line.h"
#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/delivery/key_synthesis.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"
#include "OrvixInputHost/quick-add/vocabulary_text.h"

namespace orvix::input_host {

namespace {

// From the moment the command is read: the desktop application is waiting for the answer.
constexpr double copyCommandDeadlineSeconds = 0.8;
constexpr Duration copyPollInterval = std::chrono::milliseconds(12);
// Changes a copy makes: one, or a few for an application that writes several flavours apart.
constexpr std::int64_t fewestCopyChanges = 1;
constexpr std::int64_t mostCopyChanges = 3;

}  // namespace

void QuickAdd::copySelection(const std::string& commandId,
                             std::optional<std::string> copyTargetId) {
  const double deadline = clock_.uptimeSeconds() + copyCommandDeadlineSeconds;
  std::int64_t generation = 0;
  std::optional<QuickAddTarget> target;
  {
    std::lock_guard lock(quickAddLock_);
    generation = generation_;
    target = target_;
  }
  observationQueue_->async([this, commandId, copyTargetId = std::move(copyTargetId), generation,
                            target = std::move(target), deadline] {
    const auto text = copyFromTarget(generation, target, copyTargetId, deadline);
    Json fields = {{"commandId", commandId}, {"outcome", text ? "selected" : "unavailable"}};
    if (text) fields["text"] = *text;
    output_.emit(makeEvent(schemaVersion, "vocabulary.quick-add.selection-result", fields));
  });
}

std::optional<std::string> QuickAdd::copyFromTarget(std::int64_t generation,
                                                    std::optional<QuickAddTarget> target,
                                                    const std::optional<std::string>& copyTargetId,
                                                    double deadline) {
  const ProcessId pid = target ? target->context.pid : 0;
  auto diagnostic = makeDiagnosticLog("device", pid);
  const auto current = [&] {
    if (!isCurrent(generation)) return false;
    const double now = clock_.uptimeSeconds();
    if (now >= deadline) return false;
    if (!target) return !copyTargetId;
    return now - target->capturedAt < quickAddTargetLifetimeSeconds &&
           (!copyTargetId || *copyTargetId == target->id);
  };
  // The target can no longer be trusted: withdraw it, and anything else pending.
  const auto giveUp = [&] { invalidate(generation); };

  if (!current()) return std::nullopt;
  std::optional<ForegroundContext> expected;
  if (target) expected = target->context;
  const auto focus = foreground_.focus(pid, expected, &diagnostic);
  if (!focus) {
    giveUp();
    return std::nullopt;
  }
  if (!current()) return std::nullopt;
  const std::int64_t before = pasteboard_.changeCount();
  {
    // The copy about to be made is the host's, not a user's double copy.
    std::lock_guard lock(quickAddLock_);
    if (generation_ != generation) return std::nullopt;
    candidate_.reset();
    pendingCopies_.clear();
    ++copyGeneration_;
  }
  const auto stillThere = foreground_.foregroundContext(pid, nullptr);
  if (!stillThere || !QuickAddForeground::contextsMatch(*stillThere, focus->context) ||
      !current() || pasteboard_.changeCount() != before) {
    giveUp();
    return std::nullopt;
  }
  if (!keys_->postKey(keyCodeC, platform::kEventFlagCommand, true)) return std::nullopt;
  diagnostic.log("copy-dispatch", "ready");

  for (;;) {
    if (!current()) {
      diagnostic.log("clipboard", "timeout");
      return std::nullopt;
    }
    if (pasteboard_.changeCount() != before) break;
    // Rounded up: a wait rounded down to nothing would spin until the deadline.
    const auto left = std::chrono::ceil<Duration>(
        std::chrono::duration<double>(deadline - clock_.uptimeSeconds()));
    time_.sleepFor(std::clamp(left, Duration::zero(), copyPollInterval));
  }
  const std::int64_t after = pasteboard_.changeCount();
  const std::int64_t changes = after - before;
  if (changes < fewestCopyChanges || changes > mostCopyChanges) return std::nullopt;

  const auto confirmed = foreground_.focus(pid, focus->context, &diagnostic);
  if (!confirmed) {
    giveUp();
    return std::nullopt;
  }
  if (!current()) return std::nullopt;
  auto text = pasteboard_.string();
  if (!text || !eligibleVocabularyText(*text)) return std::nullopt;
  // The application copied something else than what it shows as selected.
  const auto selected = foreground_.selectedText(*confirmed);
  if (selected && *selected != *text) return std::nullopt;

  if (!current() || pasteboard_.changeCount() != after) {
    giveUp();
    return std::nullopt;
  }
  const auto finalContext = foreground_.foregroundContext(pid, nullptr);
  if (!finalContext || !QuickAddForeground::contextsMatch(*finalContext, confirmed->context) ||
      pasteboard_.changeCount() != after || !current()) {
    giveUp();
    return std::nullopt;
  }
  std::lock_guard lock(quickAddLock_);
  if (generation_ != generation || !enabled_ || !trusted_.load()) return std::nullopt;
  return text;
}

}  // namespace orvix::input_host
