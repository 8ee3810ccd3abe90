#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/time/time_source.h"
#include "platform/desktop.h"
#include "OrvixInputHost/delivery/event_output.h"
#include "OrvixInputHost/delivery/foreground_context.h"
#include "OrvixInputHost/quick-add/quick_add_diagnostic.h"
#include "OrvixInputHost/quick-add/quick_add_foreground.h"

namespace orvix::input_host {

class KeySynthesis;

// The selection target last announced to the desktop application.
struct QuickAddTarget {
  std::string id;
  ForegroundContext context;
  double capturedAt = 0;
};

// The first copy of a possible double copy.
struct QuickAddCandidate {
  std::string text;
  std::uint64_t copiedAt = 0;
  std::int64_t changeCount = 0;
};

// What the pasteboard held for one copy, and its change count at that read.
struct QuickAddCopySnapshot {
  std::string text;
  std::int64_t changeCount = 0;
};

// One copy key press whose clipboard result is still being read. Compared by identity: two
// presses of the same key are two observations. The mutable fields are guarded by
// quickAddLock.
struct QuickAddCopyObservation {
  QuickAddCopyObservation(std::int32_t pid, std::uint64_t at, std::int64_t changeCount)
      : eventPid(pid), copiedAt(at), previousChangeCount(changeCount) {}

  const std::int32_t eventPid;
  const std::uint64_t copiedAt;
  const std::int64_t previousChangeCount;
  std::optional<QuickAddCopySnapshot> snapshot;
  // The change count at the next copy key press: the last change this copy may own.
  std::optional<std::int64_t> sealedChangeCount;
  bool validated = false;
};

// The process-wide quick-add state and its one lock, `quickAddLock`. Also holds the desktop
// application's statement of the accessibility permission, which quick-add follows and the
// delivery commands read.
//
// Three kinds of thread meet here: the command loop (configure), the event-tap thread (the
// gestures) and the serial observation queue (deferred work).
//
// Lock order: quickAddLock before the output's emitLock; nothing here is called with emitLock
// held. The lock is held only for short reads and writes, never across platform calls.
class QuickAdd {
 public:
  QuickAdd(EventOutput& output, TimeSource& time, platform::Desktop& desktop);
  // Takes the tap down and waits for its thread.
  ~QuickAdd();
  QuickAdd(const QuickAdd&) = delete;
  QuickAdd& operator=(const QuickAdd&) = delete;

  // "vocabulary.quick-add.configure", and the re-configuration after a permission change.
  void configure(bool enabled);
  // "vocabulary.quick-add.status", then the "permission" diagnostic.
  void emitStatus(std::optional<bool> trusted = std::nullopt);

  // Drops pending quick-add work; answers the generation after the call.
  std::int64_t invalidate(std::optional<std::int64_t> expectedGeneration = std::nullopt,
                          bool preserveSelection = false, bool preserveCandidate = false);
  bool isCurrent(std::int64_t generation);
  void emitSelectionCleared();

  // Written only by "permission.refresh", under the lock; read by the delivery commands
  // without it.
  void setResponsibleAccessibilityTrusted(bool trusted);
  bool responsibleAccessibilityTrusted() const { return trusted_.load(); }

  bool enabled();
  // Brackets every clipboard write of the host, so that the copy observer can tell the host's
  // own writes from the user's.
  void beginClipboardWrite();
  void endClipboardWrite();
  std::int64_t clipboardWriteDepth();

  DiagnosticLog makeDiagnosticLog(std::string source, std::int32_t eventTargetPid = 0);

  // The marks every synthetic key carries in its source user-data field.
  std::int64_t helperKeyEventMark() const { return -copyEventMark_; }
  std::int64_t quickAddCopyEventMark() const { return copyEventMark_; }

  // Every tapped event, on the tap thread (quick_add_gestures.cpp).
  void handleEvent(std::uint32_t type, const platform::InputEvent& event);

  // The copies still being read, oldest first (a copy of the list, taken under the lock).
  std::vector<std::shared_ptr<QuickAddCopyObservation>> pendingCopies();

  // Deferred quick-add work, one item at a time.
  SerialQueue& observationQueue() { return *observationQueue_; }

  // "vocabulary.quick-add.copy", on the command loop: the rest runs on the observation queue,
  // which answers with "vocabulary.quick-add.selection-result" (quick_add_copy_command.cpp).
  void copySelection(const std::string& commandId, std::optional<std::string> copyTargetId);

 private:
  // The tap thread (quick_add_tap.cpp).
  void startObservation();
  // `epoch` is the stop count when the thread was started.
  void runTapThread(std::uint64_t epoch);
  // Takes the tap out of the state and switches it off; its thread then ends by itself.
  void stopTap();
  void onTappedEvent(std::uint32_t type, const platform::InputEvent& event);

  // The gestures (quick_add_gestures.cpp).
  void copyKey(const platform::InputEvent& event);
  void recordSelectionPointerDown(const platform::InputEvent& event);
  void observeSelectionPointerUp(const platform::InputEvent& event);
  void emitObservation(const char* stage);

  // Selection hints and the target monitor (quick_add_selection.cpp).
  void selectionGesture(const platform::InputEvent& event);
  void hintSelection(std::int64_t generation, ProcessId eventPid, ForegroundContext expected);
  void monitor(std::int64_t generation);
  void checkTarget(std::int64_t generation);

  // The copy command's work on the queue; the copied text, or none (quick_add_copy_command.cpp).
  std::optional<std::string> copyFromTarget(std::int64_t generation,
                                            std::optional<QuickAddTarget> target,
                                            const std::optional<std::string>& copyTargetId,
                                            double deadline);

  // Copy observation (quick_add_copy_observation.cpp), on the observation queue.
  void observeExplicitCopy(std::shared_ptr<QuickAddCopyObservation> observation, int attempt);
  bool observeCopy(const std::shared_ptr<QuickAddCopyObservation>& observation);
  bool copyIsCurrent(const QuickAddCopyObservation& observation);
  bool copyIsCurrentLocked(const QuickAddCopyObservation& observation) const;
  // The observation (as the same object) is still in the pending list; the lock is held.
  bool isPendingLocked(const QuickAddCopyObservation& observation) const;
  void invalidateCopy(const QuickAddCopyObservation& observation);

  EventOutput& output_;
  TimeSource& time_;
  const Clock& clock_;
  platform::Accessibility& accessibility_;
  platform::ProcessInfo& processInfo_;
  platform::InputEvents& inputEvents_;
  platform::Pasteboard& pasteboard_;
  const std::int64_t copyEventMark_;
  QuickAddForeground foreground_;
  // Posts the copy command's Command-C with the quick-add mark.
  std::unique_ptr<KeySynthesis> keys_;

  std::atomic<bool> trusted_{false};

  std::mutex quickAddLock_;
  bool enabled_ = false;
  bool observerStarting_ = false;
  std::int64_t generation_ = 0;
  std::int64_t copyGeneration_ = 0;
  std::vector<std::shared_ptr<QuickAddCopyObservation>> pendingCopies_;
  std::optional<QuickAddCandidate> candidate_;
  std::int64_t clipboardWriteDepth_ = 0;
  std::optional<platform::ScreenPoint> selectionPointerDown_;
  std::optional<QuickAddTarget> target_;
  std::uint64_t lastSelectionHintAt_ = 0;
  std::uint32_t diagnosticSequence_ = 0;
  std::shared_ptr<platform::EventTap> tap_;
  // The tap thread's loop, so that stopping the tap ends the thread's wait at once.
  std::shared_ptr<RunLoop> tapLoop_;
  // Counts stops, so that a thread still starting when it was stopped knows it is stale.
  std::uint64_t tapEpoch_ = 0;

  // Touched only by the command loop (and the destructor).
  std::unique_ptr<NamedThread> tapThread_;
  // Last member, so it stops first: its tasks use the members above.
  std::unique_ptr<SerialQueue> observationQueue_;
};

// A random mark from 1 to the largest signed 64-bit value.
std::int64_t drawQuickAddCopyEventMark();

}  // namespace orvix::input_host
