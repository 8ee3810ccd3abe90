#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/time/clock.h"
#include "platform/accessibility.h"
#include "platform/input_events.h"
#include "platform/process_info.h"
#include "OrvixInputHost/delivery/event_output.h"
#include "OrvixInputHost/delivery/foreground_context.h"
#include "OrvixInputHost/quick-add/quick_add_diagnostic.h"

namespace orvix::input_host {

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

// One copy key press whose clipboard result is still being read.
struct QuickAddCopyObservation {
  std::int32_t eventPid = 0;
  std::uint64_t copiedAt = 0;
  std::int64_t previousChangeCount = 0;
};

// The process-wide quick-add state and its one lock, `quickAddLock`. Also holds the desktop
// application's statement of the accessibility permission, which quick-add follows and the
// delivery commands read.
//
// Lock order: quickAddLock before the output's emitLock; nothing here is called with emitLock
// held. The lock is held only for short reads and writes, never across platform calls.
class QuickAdd {
 public:
  QuickAdd(EventOutput& output, const Clock& clock, platform::Accessibility& accessibility,
           platform::ProcessInfo& processInfo);

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

 private:
  void startObservation();

  EventOutput& output_;
  const Clock& clock_;
  platform::Accessibility& accessibility_;
  platform::ProcessInfo& processInfo_;
  const std::int64_t copyEventMark_;

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
};

// A random mark from 1 to the largest signed 64-bit value.
std::int64_t drawQuickAddCopyEventMark();

}  // namespace orvix::input_host
