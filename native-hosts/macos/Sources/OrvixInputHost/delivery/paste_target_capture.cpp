#include "OrvixInputHost/delivery/paste_target_capture.h"

#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host {

std::string_view captureOutcome(const CapturedPasteTarget& target) {
  switch (target.disposition) {
    case PasteTargetDisposition::protectedTarget:
      return "protected";
    case PasteTargetDisposition::noInput:
      return "no-target";
    case PasteTargetDisposition::acceptsInput:
      if (!target.context) return "no-target";
      return target.element ? "editable" : "context-only";
    case PasteTargetDisposition::unknown:
      return target.context ? "context-only" : "no-target";
  }
  return "no-target";
}

PasteTargetDisposition PasteTargetCapture::resolvedCapturedTargetDisposition(ProcessId pid) {
  auto disposition = probe_.pasteTargetDisposition(pid);
  for (int retry = 0; retry < maximumTargetDetectionRetries; ++retry) {
    if (disposition == PasteTargetDisposition::acceptsInput ||
        disposition == PasteTargetDisposition::protectedTarget) {
      return disposition;
    }
    if (probe_.frontmostPid() != pid) return disposition;
    time_.sleepFor(targetDetectionRetryDelay);
    disposition = probe_.pasteTargetDisposition(pid);
  }
  return disposition;
}

std::string PasteTargetCapture::storeCapturedTarget(const std::string& sessionId) {
  const double now = time_.clock().uptimeSeconds();
  // A new capture ends any release hand-over still pending for the session.
  sessions_.streaming.restart(sessionId);
  sessions_.removeFromCaptureOrder(sessionId);
  sessions_.capturedTargetOrder.push_back(sessionId);

  CapturedPasteTarget target{now, PasteTargetDisposition::noInput, std::nullopt, std::nullopt};
  if (const auto pid = probe_.frontmostPid()) {
    target.disposition = resolvedCapturedTargetDisposition(*pid);
    target.context = probe_.foregroundContext();
    target.element = probe_.focusedElement(*pid);
  }
  const std::string outcome(captureOutcome(target));
  sessions_.capturedTargets.insert_or_assign(sessionId, std::move(target));

  while (sessions_.capturedTargets.size() > maximumCapturedTargets &&
         !sessions_.capturedTargetOrder.empty()) {
    const std::string oldest = sessions_.capturedTargetOrder.front();
    sessions_.capturedTargetOrder.pop_front();
    sessions_.capturedTargets.erase(oldest);
    sessions_.streaming.evict(oldest);
  }
  return outcome;
}

void PasteTargetCapture::takeCapturedTarget(const std::string& sessionId) {
  sessions_.removeFromCaptureOrder(sessionId);
  sessions_.capturedTargets.erase(sessionId);
}

}  // namespace orvix::input_host
