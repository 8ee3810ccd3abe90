#pragma once

#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

#include "OrvixInputHost/delivery/foreground_context.h"
#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/delivery/streaming_sessions.h"

namespace orvix::input_host {

// What "target.capture" found for a session.
struct CapturedPasteTarget {
  double capturedAt = 0;  // uptime seconds
  PasteTargetDisposition disposition = PasteTargetDisposition::unknown;
  std::optional<ForegroundContext> context;
  std::optional<AXElement> element;
};

// Per-session state of the delivery commands: the capture table and the streaming state.
// Main thread only.
struct SessionState {
  std::unordered_map<std::string, CapturedPasteTarget> capturedTargets;
  std::deque<std::string> capturedTargetOrder;  // oldest capture first

  StreamingSessions streaming{maximumStreamingSessions, maximumStreamingBytes,
                              maximumStreamingEvictionsRemembered};

  void removeFromCaptureOrder(const std::string& sessionId) {
    std::erase(capturedTargetOrder, sessionId);
  }
};

}  // namespace orvix::input_host
