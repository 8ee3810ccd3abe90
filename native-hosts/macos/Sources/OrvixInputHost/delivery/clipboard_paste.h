#pragma once

#include <optional>
#include <string>

#include "common/json_wire.h"
#include "common/time/time_source.h"
#include "platform/pasteboard.h"
#include "OrvixInputHost/delivery/focus_probe.h"
#include "OrvixInputHost/delivery/key_synthesis.h"
#include "OrvixInputHost/delivery/paste_target_capture.h"
#include "OrvixInputHost/delivery/session_state.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"

namespace orvix::input_host {

// The focused element's state just before the paste keystroke.
struct PasteVerificationSnapshot {
  ForegroundContext context;
  AXElement element;
  std::optional<TextRange> selectedRange;  // UTF-16 code units
  std::optional<std::string> value;
};

// The value a paste of `text` over `range` of `value` should leave, counted in UTF-16 code
// units; absent when the range does not fit the value.
std::optional<std::u16string> expectedValueAfterPaste(const std::u16string& value,
                                                      TextRange range,
                                                      const std::u16string& text);

// Delivers text into the focused element the way a user would: pasteboard, Command+V, then a
// look through the accessibility interface whether the element changed as a paste changes it.
// Main thread only (it sleeps on the calling thread while the application applies the paste).
class ClipboardPaste {
 public:
  ClipboardPaste(FocusProbe& probe, platform::Pasteboard& pasteboard, KeySynthesis& keys,
                 QuickAdd& quickAdd, PasteTargetCapture& capture, SessionState& sessions,
                 TimeSource& time)
      : probe_(probe),
        pasteboard_(pasteboard),
        keys_(keys),
        quickAdd_(quickAdd),
        capture_(capture),
        sessions_(sessions),
        time_(time) {}

  // "commit-text": one whole text.
  Json commitText(const std::string& commandId, const std::string& sessionId,
                  const std::string& text);
  // "commit-text" with "streaming": one more piece of the session's text.
  Json appendText(const std::string& commandId, const std::string& sessionId,
                  const std::string& text);
  Json pasteAtCurrentFocus(const std::string& commandId, const std::string& text);

  // The "target.release" hand-over: leaves the session's whole streamed text on the pasteboard
  // unless something else was written there since its last piece.
  void releaseStreamingSession(const std::string& sessionId);

  bool replaceClipboard(const std::string& text);
  bool pasteWasApplied(const PasteVerificationSnapshot& snapshot, const std::string& text);

 private:
  PasteTargetDisposition classifyCurrentFocus(std::optional<SystemFocus>& focus);

  FocusProbe& probe_;
  platform::Pasteboard& pasteboard_;
  KeySynthesis& keys_;
  QuickAdd& quickAdd_;
  PasteTargetCapture& capture_;
  SessionState& sessions_;
  TimeSource& time_;
};

}  // namespace orvix::input_host
