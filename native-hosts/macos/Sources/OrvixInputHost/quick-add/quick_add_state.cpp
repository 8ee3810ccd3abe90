#include "OrvixInputHost/quick-add/quick_add_state.h"

#include <limits>
#include <random>

#include "common/event_line.h"
#include "common/uuid.h"
#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/delivery/key_synthesis.h"

namespace orvix::input_host {

std::int64_t drawQuickAddCopyEventMark() {
  std::random_device entropy;
  std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
  std::mt19937_64 generator(seed);
  std::uniform_int_distribution<std::int64_t> distribution(
      1, std::numeric_limits<std::int64_t>::max());
  return distribution(generator);
}

QuickAdd::QuickAdd(EventOutput& output, TimeSource& time, platform::Desktop& desktop)
    : output_(output),
      time_(time),
      clock_(time.clock()),
      accessibility_(desktop.accessibility),
      processInfo_(desktop.processInfo),
      inputEvents_(desktop.inputEvents),
      pasteboard_(desktop.pasteboard),
      copyEventMark_(drawQuickAddCopyEventMark()),
      foreground_(desktop, time),
      keys_(std::make_unique<KeySynthesis>(desktop.inputEvents, *this)),
      observationQueue_(time.makeSerialQueue(quickAddObservationQueueLabel())) {}

void QuickAdd::setResponsibleAccessibilityTrusted(bool trusted) {
  std::lock_guard lock(quickAddLock_);
  trusted_.store(trusted);
}

bool QuickAdd::enabled() {
  std::lock_guard lock(quickAddLock_);
  return enabled_;
}

void QuickAdd::configure(bool enabled) {
  {
    std::lock_guard lock(quickAddLock_);
    enabled_ = enabled;
  }
  emitStatus();
  bool active = false;
  {
    std::lock_guard lock(quickAddLock_);
    active = enabled && trusted_.load();
  }
  if (active) {
    startObservation();
    return;
  }
  invalidate();
  {
    std::lock_guard lock(quickAddLock_);
    selectionPointerDown_.reset();
    lastSelectionHintAt_ = 0;
  }
  stopTap();
}

void QuickAdd::emitStatus(std::optional<bool> trusted) {
  const bool permission = trusted.value_or(responsibleAccessibilityTrusted());
  output_.emit(makeEvent(schemaVersion, "vocabulary.quick-add.status",
                         {{"permission", permission ? "trusted" : "denied"}}));
  makeDiagnosticLog("permission").log("permission", "ready");
}

std::int64_t QuickAdd::invalidate(std::optional<std::int64_t> expectedGeneration,
                                  bool preserveSelection, bool preserveCandidate) {
  std::lock_guard lock(quickAddLock_);
  if (expectedGeneration && *expectedGeneration != generation_) return generation_;
  ++generation_;
  if (!preserveCandidate) {
    candidate_.reset();
    pendingCopies_.clear();
    ++copyGeneration_;
  }
  if (!preserveSelection) {
    target_.reset();
    selectionPointerDown_.reset();
    // Emitting under quickAddLock is allowed by the lock order (quickAddLock, then emitLock).
    emitSelectionCleared();
  }
  return generation_;
}

bool QuickAdd::isCurrent(std::int64_t generation) {
  std::lock_guard lock(quickAddLock_);
  return enabled_ && trusted_.load() && generation_ == generation;
}

void QuickAdd::emitSelectionCleared() {
  output_.emit(
      makeEvent(schemaVersion, "vocabulary.quick-add.selection-cleared",
                {{"eventId", "selection-clear-" + randomUuidText(LetterCase::lower)}}));
}

void QuickAdd::beginClipboardWrite() {
  std::lock_guard lock(quickAddLock_);
  ++clipboardWriteDepth_;
}

void QuickAdd::endClipboardWrite() {
  std::lock_guard lock(quickAddLock_);
  --clipboardWriteDepth_;
}

std::vector<std::shared_ptr<QuickAddCopyObservation>> QuickAdd::pendingCopies() {
  std::lock_guard lock(quickAddLock_);
  return pendingCopies_;
}

std::int64_t QuickAdd::clipboardWriteDepth() {
  std::lock_guard lock(quickAddLock_);
  return clipboardWriteDepth_;
}

DiagnosticLog QuickAdd::makeDiagnosticLog(std::string source, std::int32_t eventTargetPid) {
  QuickAddDiagnosticContext context;
  context.source = std::move(source);
  context.eventTargetPid = eventTargetPid;
  context.started = clock_.uptimeSeconds();
  context.mainTrusted = responsibleAccessibilityTrusted();
  context.nativeTrusted = accessibility_.isProcessTrusted();
  if (!context.nativeTrusted) {
    if (auto reason = accessibility_.untrustedReason(); !reason.empty()) {
      context.nativeUntrustedReason = std::move(reason);
    }
  }
  {
    std::lock_guard lock(quickAddLock_);
    // After the largest value the numbering continues at 1, never at 0.
    diagnosticSequence_ = diagnosticSequence_ == std::numeric_limits<std::uint32_t>::max()
                              ? 1
                              : diagnosticSequence_ + 1;
    context.attempt = diagnosticSequence_;
  }
  return DiagnosticLog(std::move(context), output_, clock_, processInfo_.currentProcessId());
}

}  // namespace orvix::input_host
