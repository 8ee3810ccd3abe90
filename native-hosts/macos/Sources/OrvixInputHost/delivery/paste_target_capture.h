#pragma once

#include <string>
#include <string_view>

#include "common/time/time_source.h"
#include "OrvixInputHost/delivery/focus_probe.h"
#include "OrvixInputHost/delivery/session_state.h"

namespace orvix::input_host {

// "target.capture": records what held the focus when a session started and answers at once
// whether it takes text. Main thread only.
class PasteTargetCapture {
 public:
  PasteTargetCapture(FocusProbe& probe, SessionState& sessions, TimeSource& time)
      : probe_(probe), sessions_(sessions), time_(time) {}

  // Stores the session's capture and answers "editable", "context-only", "protected" or
  // "no-target".
  std::string storeCapturedTarget(const std::string& sessionId);
  void takeCapturedTarget(const std::string& sessionId);

  // A reading of "no input" or "unknown" is retried a few times while the same application
  // stays in front: an application often reports its focused element a moment late.
  PasteTargetDisposition resolvedCapturedTargetDisposition(ProcessId pid);

 private:
  FocusProbe& probe_;
  SessionState& sessions_;
  TimeSource& time_;
};

std::string_view captureOutcome(const CapturedPasteTarget& target);

}  // namespace orvix::input_host
