#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

#include "OrvixInputHost/delivery/foreground_context.h"

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

  std::unordered_map<std::string, std::string> streamingText;
  std::unordered_map<std::string, std::int64_t> streamingClipboardRevision;
  // Sessions with streamed text, oldest first piece first, so that sessions the desktop
  // application never releases cannot pile up without end.
  std::deque<std::string> streamingOrder;

  void removeFromCaptureOrder(const std::string& sessionId) {
    std::erase(capturedTargetOrder, sessionId);
  }
  void forgetStreaming(const std::string& sessionId) {
    if (streamingText.erase(sessionId) > 0) std::erase(streamingOrder, sessionId);
    streamingClipboardRevision.erase(sessionId);
  }
  // Adds a delivered piece to the session's text; beyond `maximumSessions` streaming sessions
  // the oldest one's state is dropped (its pieces were delivered; only its hand-over is lost).
  void appendStreamedPiece(const std::string& sessionId, const std::string& piece,
                           std::int64_t revision, std::size_t maximumSessions) {
    auto [text, added] = streamingText.try_emplace(sessionId);
    text->second += piece;
    streamingClipboardRevision[sessionId] = revision;
    if (!added) return;
    streamingOrder.push_back(sessionId);
    while (streamingOrder.size() > maximumSessions) forgetStreaming(streamingOrder.front());
  }
};

}  // namespace orvix::input_host
