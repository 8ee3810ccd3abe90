#include "OrvixInputHost/delivery/focus_probe.h"

#include <array>

#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host {

namespace {

using platform::AXError;

void log(DiagnosticLog* diagnostic, std::string_view step, std::string_view reason,
         const DiagnosticDetails& details = {}) {
  if (diagnostic) diagnostic->log(step, reason, details);
}

constexpr std::array<std::string_view, 3> kTextRoles = {"AXTextField", "AXTextArea",
                                                        "AXComboBox"};
constexpr std::array<std::string_view, 9> kControlRoles = {
    "AXButton", "AXCheckBox", "AXRadioButton", "AXImage", "AXStaticText",
    "AXMenuItem", "AXTab", "AXToolbar", "AXWindow"};

template <std::size_t N>
bool isOneOf(std::string_view value, const std::array<std::string_view, N>& set) {
  for (auto candidate : set) {
    if (candidate == value) return true;
  }
  return false;
}

}  // namespace

std::optional<AXElement> FocusProbe::elementAttribute(const AXElement& element,
                                                      std::string_view attribute,
                                                      DiagnosticLog* diagnostic,
                                                      std::string_view step) {
  const auto result = accessibility_.copyAttributeValue(element, attribute);
  if (result.error != AXError::success) {
    log(diagnostic, step, "ax-error", DiagnosticDetails::withAxError(static_cast<std::int32_t>(result.error)));
    return std::nullopt;
  }
  if (const auto* value = std::get_if<AXElement>(&result.value)) return *value;
  log(diagnostic, step, "invalid-value");
  return std::nullopt;
}

std::optional<std::string> FocusProbe::stringAttribute(const AXElement& element,
                                                       std::string_view attribute) {
  auto result = accessibility_.copyAttributeValue(element, attribute);
  if (result.error != AXError::success) return std::nullopt;
  if (auto* value = std::get_if<std::string>(&result.value)) return std::move(*value);
  return std::nullopt;
}

std::optional<TextRange> FocusProbe::rangeAttribute(const AXElement& element,
                                                    std::string_view attribute) {
  const auto result = accessibility_.copyAttributeValue(element, attribute);
  if (result.error != AXError::success) return std::nullopt;
  if (const auto* value = std::get_if<TextRange>(&result.value)) return *value;
  return std::nullopt;
}

bool FocusProbe::processBelongsToTree(ProcessId pid, ProcessId root) {
  ProcessId current = pid;
  for (int visited = 0; visited < maximumTargetProcessTreeDepth; ++visited) {
    if (current == root) return true;
    if (current <= 1) return false;
    const auto parent = processInfo_.parentProcessId(current);
    if (!parent || *parent == current) return false;
    current = *parent;
  }
  return false;
}

bool FocusProbe::ownedByTree(const AXElement& element, ProcessId applicationPid,
                             DiagnosticLog* diagnostic, std::string_view step) {
  const auto owner = accessibility_.processId(element);
  if (owner.error != AXError::success) {
    log(diagnostic, step, "invalid-pid", DiagnosticDetails::withAxError(static_cast<std::int32_t>(owner.error)));
    return false;
  }
  if (!processBelongsToTree(owner.pid, applicationPid)) {
    log(diagnostic, step, "process-mismatch", DiagnosticDetails::withAxError(0));
    return false;
  }
  return true;
}

std::optional<SystemFocus> FocusProbe::liveSystemFocus(DiagnosticLog* diagnostic) {
  const AXElement systemWide = accessibility_.systemWideElement();

  const auto application =
      elementAttribute(systemWide, "AXFocusedApplication", diagnostic, "focus-app");
  if (!application) return std::nullopt;
  const auto applicationPid = accessibility_.processId(*application);
  if (applicationPid.error != AXError::success || applicationPid.pid <= 0) {
    log(diagnostic, "focus-app-pid", "invalid-pid",
        DiagnosticDetails::withAxError(static_cast<std::int32_t>(applicationPid.error)));
    return std::nullopt;
  }
  const ProcessId pid = applicationPid.pid;

  const auto element =
      elementAttribute(systemWide, "AXFocusedUIElement", diagnostic, "focus-element");
  if (element && !ownedByTree(*element, pid, diagnostic, "focus-element-pid")) {
    return std::nullopt;
  }

  std::optional<AXElement> window;
  if (element) window = elementAttribute(*element, "AXWindow", diagnostic, "focus-window");
  if (!window) window = elementAttribute(*application, "AXFocusedWindow", diagnostic, "focus-window");
  if (window && !ownedByTree(*window, pid, diagnostic, "focus-window-pid")) return std::nullopt;

  // Read the application and the element once more: a reading taken while the focus was moving
  // would pair one application with another's element.
  const auto applicationAgain =
      elementAttribute(systemWide, "AXFocusedApplication", diagnostic, "focus-app-confirm");
  if (!applicationAgain) return std::nullopt;
  if (!(*applicationAgain == *application)) {
    log(diagnostic, "focus-app-confirm", "changed");
    return std::nullopt;
  }
  const auto elementAgain =
      elementAttribute(systemWide, "AXFocusedUIElement", diagnostic, "focus-element-confirm");
  const bool elementConfirmed =
      element ? (elementAgain && *elementAgain == *element) : !elementAgain.has_value();
  if (!elementConfirmed) {
    log(diagnostic, "focus-element-confirm", "changed");
    return std::nullopt;
  }

  log(diagnostic, "focus", "ready",
      DiagnosticDetails::withFocusFound(element.has_value(), window.has_value()));
  return SystemFocus{ForegroundContext{pid, std::nullopt, window}, element};
}

std::optional<ForegroundContext> FocusProbe::foregroundContext(DiagnosticLog* diagnostic) {
  auto focus = liveSystemFocus(diagnostic);
  if (!focus) return std::nullopt;
  if (focus->element && stringAttribute(*focus->element, "AXSubrole") == "AXSecureTextField") {
    log(diagnostic, "protected-target", "protected");
    return std::nullopt;
  }
  return std::move(focus->context);
}

std::optional<AXElement> FocusProbe::focusedElement(ProcessId pid) {
  auto focus = liveSystemFocus();
  if (!focus || focus->context.pid != pid) return std::nullopt;
  return std::move(focus->element);
}

std::optional<ProcessId> FocusProbe::frontmostPid() {
  const auto focus = liveSystemFocus();
  if (!focus) return std::nullopt;
  return focus->context.pid;
}

PasteTargetDisposition FocusProbe::pasteTargetDisposition(
    const std::optional<AXElement>& element) {
  if (!element) return PasteTargetDisposition::unknown;
  if (stringAttribute(*element, "AXSubrole") == "AXSecureTextField") {
    return PasteTargetDisposition::protectedTarget;
  }
  for (std::string_view attribute : {"AXValue", "AXSelectedTextRange"}) {
    const auto settable = accessibility_.isAttributeSettable(*element, attribute);
    if (settable.error == AXError::success && settable.settable) {
      return PasteTargetDisposition::acceptsInput;
    }
  }
  const auto role = stringAttribute(*element, "AXRole");
  if (!role) return PasteTargetDisposition::unknown;
  if (isOneOf(*role, kTextRoles)) return PasteTargetDisposition::acceptsInput;
  if (isOneOf(*role, kControlRoles)) return PasteTargetDisposition::noInput;
  return PasteTargetDisposition::unknown;
}

PasteTargetDisposition FocusProbe::pasteTargetDisposition(ProcessId pid) {
  return pasteTargetDisposition(focusedElement(pid));
}

}  // namespace orvix::input_host
