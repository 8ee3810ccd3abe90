#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/time/clock.h"
#include "OrvixInputHost/delivery/event_output.h"

namespace orvix::input_host {

// The optional keys of one diagnostic record; each appears in the event only when set.
struct DiagnosticDetails {
  std::optional<std::int32_t> axError;
  std::optional<bool> hasElement;
  std::optional<bool> hasWindow;
  std::optional<std::int32_t> workspacePid;
  std::optional<std::int32_t> focusPid;
  std::optional<std::int32_t> resolvedPid;
  std::optional<std::string> foregroundSource;
  std::optional<std::int32_t> recheck;
  std::optional<bool> workspaceOrvix;
  std::optional<bool> focusOrvix;
  std::optional<bool> eventOrvix;

  static DiagnosticDetails withAxError(std::int32_t code) {
    DiagnosticDetails details;
    details.axError = code;
    return details;
  }
  static DiagnosticDetails withFocusFound(bool element, bool window) {
    DiagnosticDetails details;
    details.hasElement = element;
    details.hasWindow = window;
    return details;
  }
};

// Who started a piece of quick-add work, numbered so that the desktop application can group the
// steps of one attempt.
struct QuickAddDiagnosticContext {
  std::string source;  // "permission", "keyboard" or "device"
  std::uint32_t attempt = 0;
  std::int32_t eventTargetPid = 0;
  double started = 0;  // uptime seconds
  bool mainTrusted = false;
  bool nativeTrusted = false;
  // Why this process is not trusted, where the platform says (the Linux desktop does).
  std::optional<std::string> nativeUntrustedReason;
};

// Writes "vocabulary.quick-add.diagnostic" events for one context.
class DiagnosticLog {
 public:
  DiagnosticLog(QuickAddDiagnosticContext context, EventOutput& output, const Clock& clock,
                std::int32_t helperPid)
      : context_(std::move(context)), output_(output), clock_(clock), helperPid_(helperPid) {}

  void log(std::string_view step, std::string_view reason, const DiagnosticDetails& details = {});

  const QuickAddDiagnosticContext& context() const { return context_; }

 private:
  QuickAddDiagnosticContext context_;
  EventOutput& output_;
  const Clock& clock_;
  std::int32_t helperPid_;
};

}  // namespace orvix::input_host
