#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/accessibility.h"
#include "platform/process_info.h"
#include "OrvixInputHost/delivery/foreground_context.h"
#include "OrvixInputHost/quick-add/quick_add_diagnostic.h"

namespace orvix::input_host {

using platform::TextRange;

// Answers which application, window and element hold the keyboard focus, conservatively: a
// reading counts only when the application and the element read the same twice and the element
// and window belong to the application's process tree. Anything doubtful gives no answer.
//
// Stateless; callable from any thread. `diagnostic` may be null (the delivery commands pass
// none); when given, every failing step and the final success are logged through it.
class FocusProbe {
 public:
  FocusProbe(platform::Accessibility& accessibility, platform::ProcessInfo& processInfo)
      : accessibility_(accessibility), processInfo_(processInfo) {}

  std::optional<SystemFocus> liveSystemFocus(DiagnosticLog* diagnostic = nullptr);
  // The focus's context, refused when the focused element is a secure text field.
  std::optional<ForegroundContext> foregroundContext(DiagnosticLog* diagnostic = nullptr);
  // The focused element, only while `pid` is the focused application.
  std::optional<AXElement> focusedElement(ProcessId pid);
  std::optional<ProcessId> frontmostPid();

  // True when `pid` is `root` or one of its descendants up to eleven generations below.
  bool processBelongsToTree(ProcessId pid, ProcessId root);

  std::optional<AXElement> elementAttribute(const AXElement& element, std::string_view attribute,
                                            DiagnosticLog* diagnostic, std::string_view step);
  std::optional<std::string> stringAttribute(const AXElement& element,
                                             std::string_view attribute);
  std::optional<TextRange> rangeAttribute(const AXElement& element, std::string_view attribute);

  PasteTargetDisposition pasteTargetDisposition(const std::optional<AXElement>& element);
  PasteTargetDisposition pasteTargetDisposition(ProcessId pid);

 private:
  // The element's pid, checked against the application's tree; logs `step` on failure.
  bool ownedByTree(const AXElement& element, ProcessId applicationPid, DiagnosticLog* diagnostic,
                   std::string_view step);

  platform::Accessibility& accessibility_;
  platform::ProcessInfo& processInfo_;
};

}  // namespace orvix::input_host
