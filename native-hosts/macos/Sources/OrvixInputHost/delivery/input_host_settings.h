#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/time/time_types.h"

namespace orvix::input_host {

// Process-wide tunables of the input host, fixed at start-up.

inline constexpr std::int64_t schemaVersion = 2;
inline constexpr std::int64_t systemControlSchemaVersion = 1;

inline constexpr std::size_t maximumLineBytes = 400000;
inline constexpr std::size_t maximumIdentifierCharacters = 128;
inline constexpr std::size_t maximumTextCharacters = 100000;

inline constexpr std::size_t maximumCachedCommands = 4096;
// Identifiers are bounded in characters, and one character may carry thousands of combining
// marks: the answers cached are also bounded in bytes so that 4,096 of them cannot take
// gigabytes. Ordinary answers (a few hundred bytes) never come near it.
inline constexpr std::size_t maximumCachedBytes = 64u << 20;
// Sessions whose streamed text is kept for the release hand-over, and the bytes they may hold
// together. One hour of dictation is some 60 KB of text, so 256 sessions of several hours each
// fit; only a flood of pieces that no person speaks reaches the byte bound.
inline constexpr std::size_t maximumStreamingSessions = 256;
inline constexpr std::size_t maximumStreamingBytes = 64u << 20;
// Sessions remembered as having lost their text to those bounds (a hash each).
inline constexpr std::size_t maximumStreamingEvictionsRemembered = 4096;
inline constexpr std::size_t maximumCapturedTargets = 256;

// The output queue between the host's threads and standard output; a stalled reader costs at
// most this much memory. A burst of answers and quick-add events is a few dozen lines of a few
// hundred bytes, and a line that echoes a whole command (at most 400,000 bytes, even with every
// byte escaped) fits several times over.
inline constexpr std::size_t maximumQueuedOutputLines = 2048;
inline constexpr std::size_t maximumQueuedOutputBytes = 8u << 20;
// The agent trace's copy to standard error: a developer's aid, so a reader that stalls loses
// records (one notice says so) rather than the host its main thread.
inline constexpr std::size_t maximumQueuedTraceLines = 1024;
inline constexpr std::size_t maximumQueuedTraceBytes = 1u << 20;
inline constexpr std::string_view traceOverflowNotice = "{\"stage\":\"trace-records-dropped\"}\n";
// How long the exit waits for queued lines to reach standard output.
inline constexpr Duration shutdownFlushTimeout = std::chrono::seconds(2);

inline constexpr Duration targetDetectionRetryDelay = std::chrono::milliseconds(25);
inline constexpr int maximumTargetDetectionRetries = 4;
inline constexpr int maximumTargetProcessTreeDepth = 12;

// How long an application gets to apply a paste before the host looks at the result.
inline constexpr Duration pasteSettleDelay = std::chrono::milliseconds(100);

inline constexpr std::int32_t agentComposerSearchMaximumDepth = 32;
inline constexpr std::int32_t agentComposerSearchMaximumElements = 4096;
inline constexpr double agentComposerScanBudget = 0.4;
inline constexpr double agentFrontmostStableDuration = 0.15;
inline constexpr double agentFocusTimeout = 0.25;
inline constexpr double agentAccessibilityFallbackInterval = 0.25;
inline constexpr double agentSubmissionTimeout = 1.5;
inline constexpr double agentSubmissionPollInterval = 0.025;

inline constexpr std::string_view applicationIdentifierPrefix = "com.orvix";
inline std::string quickAddObservationQueueLabel() {
  return std::string(applicationIdentifierPrefix) + ".desktop.vocabulary-quick-add";
}
// How long a selection target announced by quick-add stays usable.
inline constexpr double quickAddTargetLifetimeSeconds = 60.0;
inline constexpr std::string_view agentTraceEnvironmentVariable = "ORVIX_INPUT_HOST_AGENT_TRACE";

// macOS virtual key codes.
inline constexpr std::uint16_t keyCodeC = 8;
inline constexpr std::uint16_t keyCodeV = 9;
inline constexpr std::uint16_t keyCodeReturn = 36;
inline constexpr std::uint16_t keyCodeDownArrow = 125;
inline constexpr std::uint16_t keyCodeUpArrow = 126;

}  // namespace orvix::input_host
