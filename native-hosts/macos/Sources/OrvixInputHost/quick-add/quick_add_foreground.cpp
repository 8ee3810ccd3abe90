#include "OrvixInputHost/quick-add/quick_add_foreground.h"

#include <chrono>

#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host {

namespace {

using platform::AXError;

// Short enough that a hung application costs little; long enough for a healthy one.
constexpr float quickAddMessagingTimeoutSeconds = 0.02F;
constexpr Duration quickAddEvidenceRetryDelay = std::chrono::milliseconds(20);
constexpr int quickAddEvidenceTries = 2;

void log(DiagnosticLog* diagnostic, std::string_view step, std::string_view reason,
         const DiagnosticDetails& details = {}) {
  if (diagnostic) diagnostic->log(step, reason, details);
}

// Whether the application is one of the desktop application's own processes.
bool isDesktopBundle(const std::optional<platform::RunningApplication>& application) {
  static const std::string prefix = std::string(applicationIdentifierPrefix) + ".desktop";
  return application && application->bundleIdentifier &&
         application->bundleIdentifier->starts_with(prefix);
}

}  // namespace

QuickAddForeground::QuickAddForeground(platform::Desktop& desktop, TimeSource& time)
    : accessibility_(desktop.accessibility),
      workspace_(desktop.workspace),
      windowList_(desktop.windowList),
      time_(time),
      probe_(desktop.accessibility, desktop.processInfo) {}

std::optional<QuickAddForeground::FrontWindow> QuickAddForeground::frontWindow() {
  const auto windows = windowList_.onScreenWindows();
  if (!windows) return std::nullopt;
  for (const auto& window : *windows) {
    if (window.layer == 0 && window.ownerPid > 0 && window.number != 0) {
      return FrontWindow{window.ownerPid, window.number};
    }
  }
  return std::nullopt;
}

std::optional<QuickAddForeground::Choice> QuickAddForeground::choosePid(
    ProcessId workspacePid, ProcessId focusPid, ProcessId eventPid,
    ProcessId eventApplicationPid) {
  const auto frontBelongsTo = [this](ProcessId pid) {
    const auto front = frontWindow();
    return front && front->pid == pid;
  };
  if (focusPid > 0) {
    // A key addressed to a helper process of the focused application is still the user's.
    if (eventPid > 0 && !probe_.processBelongsToTree(eventPid, focusPid)) return std::nullopt;
    return Choice{focusPid, "ax"};
  }
  if (eventApplicationPid > 0) {
    if (!frontBelongsTo(eventApplicationPid)) return std::nullopt;
    return Choice{eventApplicationPid, "event"};
  }
  if (workspacePid > 0) {
    if (eventPid > 0 && !probe_.processBelongsToTree(eventPid, workspacePid)) return std::nullopt;
    if (!frontBelongsTo(workspacePid)) return std::nullopt;
    return Choice{workspacePid, "workspace"};
  }
  return std::nullopt;
}

bool QuickAddForeground::isDesktopApplication(ProcessId pid) {
  return pid >= 1 && isDesktopBundle(workspace_.runningApplication(pid));
}

std::optional<QuickAddForeground::Choice> QuickAddForeground::readEvidence(
    ProcessId eventPid, int recheck, DiagnosticLog* diagnostic) {
  const auto frontmost = workspace_.frontmostApplication();
  const ProcessId workspacePid = frontmost ? frontmost->pid : 0;

  // The system-wide element keeps the default timeout: a timeout set on it would become the
  // default of every element of this process, the delivery commands' included.
  ProcessId focusPid = 0;
  const auto application = probe_.elementAttribute(accessibility_.systemWideElement(),
                                                   "AXFocusedApplication", diagnostic, "focus-app");
  if (application) {
    const auto owner = accessibility_.processId(*application);
    if (owner.error == AXError::success) focusPid = owner.pid;
  }

  ProcessId eventApplicationPid = 0;
  if (eventPid >= 1) {
    const auto running = workspace_.runningApplication(eventPid);
    if (running && !running->terminated && running->bundleIdentifier) eventApplicationPid = eventPid;
  }

  auto choice = choosePid(workspacePid, focusPid, eventPid, eventApplicationPid);
  if (diagnostic) {
    DiagnosticDetails details;
    details.workspacePid = workspacePid;
    details.focusPid = std::max<ProcessId>(focusPid, 0);
    details.resolvedPid = choice ? choice->pid : 0;
    if (choice) details.foregroundSource = choice->source;
    details.recheck = recheck;
    details.workspaceOrvix = isDesktopBundle(frontmost);
    details.focusOrvix = isDesktopApplication(focusPid);
    details.eventOrvix = isDesktopApplication(eventPid);
    diagnostic->log("foreground-evidence", choice ? "ready" : "evidence-mismatch", details);
  }
  return choice;
}

std::optional<ForegroundContext> QuickAddForeground::foregroundContext(ProcessId eventPid,
                                                                       DiagnosticLog* diagnostic) {
  std::optional<Choice> choice;
  for (int recheck = 0; recheck < quickAddEvidenceTries; ++recheck) {
    choice = readEvidence(eventPid, recheck, diagnostic);
    if (choice) break;
    if (recheck + 1 < quickAddEvidenceTries) time_.sleepFor(quickAddEvidenceRetryDelay);
  }
  if (!choice) {
    log(diagnostic, "focus-app", "unconfirmed");
    return std::nullopt;
  }
  if (choice->pid < 1) return std::nullopt;
  const auto front = frontWindow();
  if (!front || front->pid != choice->pid) {
    // Something else is in front of the application: an overlay, a panel of another process.
    log(diagnostic, "focus-window", "invalid-value");
    return std::nullopt;
  }
  return ForegroundContext{choice->pid, front->number, std::nullopt};
}

bool QuickAddForeground::contextsMatch(const ForegroundContext& a, const ForegroundContext& b) {
  if (!a.windowNumber || !b.windowNumber || !a.matches(b)) return false;
  if (a.accessibilityWindow && b.accessibilityWindow) {
    return *a.accessibilityWindow == *b.accessibilityWindow;
  }
  return true;
}

bool QuickAddForeground::ownedBy(const AXElement& element, ProcessId pid,
                                 DiagnosticLog* diagnostic, std::string_view step) {
  accessibility_.setMessagingTimeout(element, quickAddMessagingTimeoutSeconds);
  const auto owner = accessibility_.processId(element);
  if (owner.error == AXError::success && probe_.processBelongsToTree(owner.pid, pid)) return true;
  log(diagnostic, step, "process-mismatch",
      DiagnosticDetails::withAxError(static_cast<std::int32_t>(owner.error)));
  return false;
}

std::optional<SystemFocus> QuickAddForeground::focus(
    ProcessId eventPid, const std::optional<ForegroundContext>& expected,
    DiagnosticLog* diagnostic) {
  const auto context = foregroundContext(eventPid, diagnostic);
  if (!context) return std::nullopt;
  if (expected && !contextsMatch(*expected, *context)) {
    log(diagnostic, "focus-app-confirm", "changed");
    return std::nullopt;
  }

  const AXElement application = accessibility_.applicationElement(context->pid);
  accessibility_.setMessagingTimeout(application, quickAddMessagingTimeoutSeconds);
  const auto element =
      probe_.elementAttribute(application, "AXFocusedUIElement", diagnostic, "focus-element");
  const auto window =
      probe_.elementAttribute(application, "AXFocusedWindow", diagnostic, "focus-window");
  if (element && !ownedBy(*element, context->pid, diagnostic, "focus-element-pid")) {
    return std::nullopt;
  }
  if (window && !ownedBy(*window, context->pid, diagnostic, "focus-window-pid")) {
    return std::nullopt;
  }
  if (element && probe_.stringAttribute(*element, "AXSubrole") == "AXSecureTextField") {
    log(diagnostic, "protected-target", "protected");
    return std::nullopt;
  }

  // Read the evidence once more: a reading taken while the user switched windows would pair
  // one window with another's element.
  const auto again = foregroundContext(eventPid, diagnostic);
  if (!again || !contextsMatch(*context, *again)) {
    log(diagnostic, "focus-app-confirm", "changed");
    return std::nullopt;
  }
  ForegroundContext resolved = *context;
  resolved.accessibilityWindow = window;
  if (expected && !contextsMatch(*expected, resolved)) {
    log(diagnostic, "focus-window", "changed");
    return std::nullopt;
  }
  log(diagnostic, "focus", "ready", DiagnosticDetails::withFocusFound(element.has_value(), true));
  return SystemFocus{std::move(resolved), element};
}

std::optional<std::string> QuickAddForeground::selectedText(const SystemFocus& focus) {
  if (!focus.element) return std::nullopt;
  auto text = probe_.stringAttribute(*focus.element, "AXSelectedText");
  if (!text || text->empty()) return std::nullopt;
  return text;
}

}  // namespace orvix::input_host
