#include "OrvixInputHost/delivery/clipboard_paste.h"

#include "common/utf16.h"
#include "OrvixInputHost/delivery/command_results.h"
#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host {

namespace {

// True when `range` is a caret (nothing selected) standing `units` code units after `start`.
bool caretAfter(const std::optional<TextRange>& range, std::int64_t start, std::int64_t units) {
  std::int64_t expected = 0;
  if (!range || range->length != 0 || __builtin_add_overflow(start, units, &expected)) {
    return false;
  }
  return range->location == expected;
}

}  // namespace

std::optional<std::u16string> expectedValueAfterPaste(const std::u16string& value,
                                                      TextRange range,
                                                      const std::u16string& text) {
  const auto size = static_cast<std::int64_t>(value.size());
  if (range.location < 0 || range.length < 0 || range.location > size ||
      range.length > size - range.location) {
    return std::nullopt;
  }
  std::u16string expected = value;
  expected.replace(static_cast<std::size_t>(range.location), static_cast<std::size_t>(range.length),
                   text);
  return expected;
}

bool ClipboardPaste::replaceClipboard(const std::string& text) {
  // The copy observer must see the depth back at zero on every way out, or it would ignore
  // the user's copies for good.
  struct ClipboardWrite {
    QuickAdd& quickAdd;
    explicit ClipboardWrite(QuickAdd& q) : quickAdd(q) { quickAdd.beginClipboardWrite(); }
    ~ClipboardWrite() { quickAdd.endClipboardWrite(); }
    ClipboardWrite(const ClipboardWrite&) = delete;
    ClipboardWrite& operator=(const ClipboardWrite&) = delete;
  } write(quickAdd_);
  quickAdd_.invalidate();
  pasteboard_.clearContents();
  return pasteboard_.setString(text);
}

PasteTargetDisposition ClipboardPaste::classifyCurrentFocus(std::optional<SystemFocus>& focus) {
  focus = probe_.liveSystemFocus();
  return probe_.pasteTargetDisposition(focus ? focus->element : std::nullopt);
}

Json ClipboardPaste::pasteAtCurrentFocus(const std::string& commandId, const std::string& text) {
  if (!quickAdd_.responsibleAccessibilityTrusted()) {
    return replaceClipboard(text) ? commandResult(commandId, "copy-only", "PERMISSION_DENIED")
                                  : commandResult(commandId, "failed", "UNAVAILABLE");
  }

  std::optional<SystemFocus> focus;
  switch (classifyCurrentFocus(focus)) {
    case PasteTargetDisposition::protectedTarget:
      return commandResult(commandId, "failed", "PROTECTED_TARGET");
    case PasteTargetDisposition::noInput:
      return replaceClipboard(text) ? commandResult(commandId, "copy-only", "NO_EDITABLE_TARGET")
                                    : commandResult(commandId, "failed", "UNAVAILABLE");
    case PasteTargetDisposition::acceptsInput:
    case PasteTargetDisposition::unknown:
      if (!replaceClipboard(text)) return commandResult(commandId, "failed", "UNAVAILABLE");
      break;
  }

  // The focus may have moved while the pasteboard was written.
  switch (classifyCurrentFocus(focus)) {
    case PasteTargetDisposition::protectedTarget:
      return commandResult(commandId, "failed", "PROTECTED_TARGET");
    case PasteTargetDisposition::noInput:
      return commandResult(commandId, "copy-only", "NO_EDITABLE_TARGET");
    case PasteTargetDisposition::acceptsInput:
    case PasteTargetDisposition::unknown:
      break;
  }

  std::optional<PasteVerificationSnapshot> snapshot;
  if (focus && focus->element) {
    snapshot = PasteVerificationSnapshot{focus->context, *focus->element,
                                         probe_.rangeAttribute(*focus->element, "AXSelectedTextRange"),
                                         probe_.stringAttribute(*focus->element, "AXValue")};
  }

  if (!keys_.postKey(keyCodeV, platform::kEventFlagCommand)) {
    return commandResult(commandId, "copy-only", "UNAVAILABLE");
  }
  time_.sleepFor(pasteSettleDelay);

  if (snapshot && pasteWasApplied(*snapshot, text)) return commandResult(commandId, "committed");
  Json unconfirmed = commandResult(commandId, "unknown");
  unconfirmed["pasteDispatched"] = true;
  return unconfirmed;
}

bool ClipboardPaste::pasteWasApplied(const PasteVerificationSnapshot& snapshot,
                                     const std::string& text) {
  const auto context = probe_.foregroundContext();
  if (!context || !snapshot.context.matches(*context)) return false;
  const auto element = probe_.focusedElement(snapshot.context.pid);
  if (!element || !(*element == snapshot.element)) return false;

  const auto currentValue = probe_.stringAttribute(*element, "AXValue");
  const auto currentRange = probe_.rangeAttribute(*element, "AXSelectedTextRange");
  const auto text16 = toUtf16(text);
  if (!text16) return false;
  const auto textUnits = static_cast<std::int64_t>(text16->size());

  const bool valueChanged = snapshot.value && currentValue && *currentValue != *snapshot.value;

  // Exact rule: the value is the old one with the selection replaced by the text.
  if (snapshot.value && snapshot.selectedRange && currentValue) {
    const auto before = toUtf16(*snapshot.value);
    const auto after = toUtf16(*currentValue);
    const auto expected =
        before ? expectedValueAfterPaste(*before, *snapshot.selectedRange, *text16) : std::nullopt;
    if (expected && after && *expected == *after) {
      if (valueChanged) return true;
      // A selection replaced by identical text leaves the value as it was; only the caret
      // tells that the paste happened.
      if (caretAfter(currentRange, snapshot.selectedRange->location, textUnits) &&
          (snapshot.selectedRange->length > 0 || !text.empty())) {
        return true;
      }
    }
  }

  // Containment rule: the value changed and now holds the text somewhere.
  if (valueChanged && currentValue->find(text) != std::string::npos) return true;

  // Caret rule, for elements (web text areas) that report a caret but no value.
  if (snapshot.selectedRange &&
      caretAfter(currentRange, snapshot.selectedRange->location, textUnits)) {
    return true;
  }
  return false;
}

Json ClipboardPaste::commitText(const std::string& commandId, const std::string& sessionId,
                                const std::string& text) {
  capture_.takeCapturedTarget(sessionId);
  return pasteAtCurrentFocus(commandId, text);
}

Json ClipboardPaste::appendText(const std::string& commandId, const std::string& sessionId,
                                const std::string& text) {
  Json answer = pasteAtCurrentFocus(commandId, text);
  const auto& outcome = answer.at("outcome");
  const bool delivered = outcome == "committed" || outcome == "copy-only" ||
                         answer.value("pasteDispatched", false);
  if (delivered) sessions_.streaming.append(sessionId, text, pasteboard_.changeCount());
  return answer;
}

void ClipboardPaste::releaseStreamingSession(const std::string& sessionId) {
  const auto accumulated = sessions_.streaming.release(sessionId);
  // Anything written to the pasteboard since the last piece (the user's own copy) stays.
  if (accumulated && accumulated->clipboardRevision == pasteboard_.changeCount()) {
    replaceClipboard(accumulated->text);
  }
}

}  // namespace orvix::input_host
