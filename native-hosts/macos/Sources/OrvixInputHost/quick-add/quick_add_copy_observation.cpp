// What a copy key press put on the pasteboard, and the pairing of two copies of the same text
// into a vocabulary candidate. Runs on the observation queue, one copy at a time; the tap
// thread may append and seal copies meanwhile, hence the lock around every read of them.

#include <algorithm>
#include <chrono>

#include "common/event_line.h"
#include "common/uuid.h"
#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"
#include "OrvixInputHost/quick-add/vocabulary_text.h"

namespace orvix::input_host {

namespace {

// The pasteboard is polled, never waited on, so the tap thread never blocks: at least three
// reads, and up to fourteen while the application has not written yet.
constexpr Duration copyReadInterval = std::chrono::milliseconds(12);
constexpr int leastCopyReadAttempt = 2;
constexpr int lastCopyReadAttempt = 13;
// More changes than a copy makes: someone else is writing the pasteboard.
constexpr std::int64_t mostChangesOfOneCopy = 3;
constexpr std::uint64_t doubleCopyWindowNanoseconds = 600'000'000;
// Just past the pairing window, so that a second copy read at its very end still pairs.
constexpr Duration candidateLifetime = std::chrono::milliseconds(601);

}  // namespace

bool QuickAdd::isPendingLocked(const QuickAddCopyObservation& observation) const {
  return std::any_of(pendingCopies_.begin(), pendingCopies_.end(),
                     [&](const auto& pending) { return pending.get() == &observation; });
}

bool QuickAdd::copyIsCurrentLocked(const QuickAddCopyObservation& observation) const {
  return enabled_ && trusted_.load() && clipboardWriteDepth_ == 0 && isPendingLocked(observation);
}

bool QuickAdd::copyIsCurrent(const QuickAddCopyObservation& observation) {
  std::lock_guard lock(quickAddLock_);
  return copyIsCurrentLocked(observation);
}

void QuickAdd::invalidateCopy(const QuickAddCopyObservation& observation) {
  std::lock_guard lock(quickAddLock_);
  if (!isPendingLocked(observation)) return;
  candidate_.reset();
  pendingCopies_.clear();
  ++copyGeneration_;
}

void QuickAdd::observeExplicitCopy(std::shared_ptr<QuickAddCopyObservation> observation,
                                   int attempt) {
  if (!copyIsCurrent(*observation)) return;
  const std::int64_t now = pasteboard_.changeCount();
  bool read = false;
  {
    std::lock_guard lock(quickAddLock_);
    read = !observation->sealedChangeCount &&
           (!observation->snapshot || observation->snapshot->changeCount != now);
  }
  if (read) {
    const std::int64_t changes = now - observation->previousChangeCount;
    if (changes < 0 || changes > mostChangesOfOneCopy) {
      invalidateCopy(*observation);
      return;
    }
    auto text = pasteboard_.string();
    const std::int64_t after = pasteboard_.changeCount();
    std::lock_guard lock(quickAddLock_);
    if (after == now && !observation->sealedChangeCount && isPendingLocked(*observation) && text &&
        eligibleVocabularyText(*text)) {
      observation->snapshot = QuickAddCopySnapshot{std::move(*text), now};
    }
  }
  if (!copyIsCurrent(*observation)) return;

  bool overtaken = false;
  bool unchanged = false;
  bool hasSnapshot = false;
  {
    std::lock_guard lock(quickAddLock_);
    const auto& snapshot = observation->snapshot;
    const auto& seal = observation->sealedChangeCount;
    hasSnapshot = snapshot.has_value();
    overtaken = seal && (!snapshot || snapshot->changeCount != *seal);
    unchanged = snapshot && snapshot->changeCount == observation->previousChangeCount;
  }
  if (overtaken) {
    // A newer copy came before this one's own result could be read.
    invalidateCopy(*observation);
    return;
  }
  if (attempt < leastCopyReadAttempt ||
      ((unchanged || !hasSnapshot) && attempt < lastCopyReadAttempt)) {
    observationQueue_->asyncAfter(copyReadInterval, [this, observation, attempt] {
      observeExplicitCopy(observation, attempt + 1);
    });
    return;
  }
  auto diagnostic = makeDiagnosticLog("keyboard", std::max(observation->eventPid, 0));
  if (hasSnapshot && observeCopy(observation)) {
    diagnostic.log("clipboard", "selected");
    return;
  }
  invalidateCopy(*observation);
  if (unchanged || !hasSnapshot) {
    emitObservation("clipboard-unchanged");
    diagnostic.log("clipboard", "timeout");
  }
}

bool QuickAdd::observeCopy(const std::shared_ptr<QuickAddCopyObservation>& observation) {
  // Read once before the lock, which is never held across a pasteboard call; a change after
  // this read is seen by the next copy's validation.
  const std::int64_t current = pasteboard_.changeCount();
  // Held throughout, events included: the pairing must see one state of the pending copies.
  std::lock_guard lock(quickAddLock_);
  if (!copyIsCurrentLocked(*observation) || !observation->snapshot) return false;
  const std::int64_t limit = observation->sealedChangeCount.value_or(current);
  if (observation->snapshot->changeCount != limit) return false;
  observation->validated = true;

  const auto& last = pendingCopies_.back();
  if (last->validated &&
      (!last->snapshot || current != last->snapshot->changeCount)) {
    return false;
  }
  while (!pendingCopies_.empty() && pendingCopies_.front()->validated &&
         pendingCopies_.front()->snapshot) {
    const auto copy = pendingCopies_.front();
    const QuickAddCopySnapshot& snapshot = *copy->snapshot;
    pendingCopies_.erase(pendingCopies_.begin());
    ++copyGeneration_;
    if (candidate_ && candidate_->text == snapshot.text &&
        candidate_->changeCount == copy->previousChangeCount &&
        current == snapshot.changeCount &&
        copy->copiedAt >= candidate_->copiedAt &&
        copy->copiedAt - candidate_->copiedAt <= doubleCopyWindowNanoseconds) {
      const std::uint64_t interval = (copy->copiedAt - candidate_->copiedAt) / 1'000'000;
      output_.emit(makeEvent(schemaVersion, "vocabulary.quick-add.candidate",
                             {{"eventId", "copy-" + randomUuidText(LetterCase::lower)},
                              {"text", candidate_->text},
                              {"intervalMs", interval}}));
      candidate_.reset();
      continue;
    }
    if (snapshot.changeCount == copy->previousChangeCount) {
      // This copy did not change the pasteboard: it cannot start a pair.
      candidate_.reset();
      continue;
    }
    candidate_ = QuickAddCandidate{snapshot.text, copy->copiedAt, snapshot.changeCount};
    const std::int64_t generation = copyGeneration_;
    emitObservation("first-copy");
    observationQueue_->asyncAfter(candidateLifetime, [this, generation] {
      std::lock_guard expiry(quickAddLock_);
      if (copyGeneration_ != generation || !pendingCopies_.empty()) return;
      candidate_.reset();
      ++copyGeneration_;
    });
  }
  return true;
}

}  // namespace orvix::input_host
